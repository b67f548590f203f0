#include "platform/diagnostics.h"

#include "platform/sim/machine.h"

namespace sim {
namespace {
// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}
void CivilFromDays(std::int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}
}  // namespace

DiagnosticsModel::DiagnosticsModel(Kernel& kernel)
    : eventLog(kernel.logWindow), debugLines(kernel.logWindow), traceMessages(kernel.logWindow), kernel_(kernel) {
  SYSTEMTIME start{2024, 3, 4, 7, 9, 5, 2, 7};
  SetLocalTime(start);
}

void DiagnosticsModel::SetLocalTime(const SYSTEMTIME& t) {
  std::int64_t days = DaysFromCivil(t.wYear, t.wMonth, t.wDay);
  startMs_ = ((days * 24 + t.wHour) * 60 + t.wMinute) * 60000 + t.wSecond * 1000 + t.wMilliseconds;
}

SYSTEMTIME DiagnosticsModel::LocalTimeAt(std::uint64_t ms) const {
  std::int64_t total = startMs_ + static_cast<std::int64_t>(ms);
  std::int64_t days = total / 86400000;
  std::int64_t rest = total % 86400000;
  int y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  SYSTEMTIME t{};
  t.wYear = static_cast<WORD>(y);
  t.wMonth = static_cast<WORD>(m);
  t.wDay = static_cast<WORD>(d);
  t.wDayOfWeek = static_cast<WORD>((days + 4) % 7);  // 1970-01-01 was a Thursday
  t.wHour = static_cast<WORD>(rest / 3600000);
  t.wMinute = static_cast<WORD>(rest / 60000 % 60);
  t.wSecond = static_cast<WORD>(rest / 1000 % 60);
  t.wMilliseconds = static_cast<WORD>(rest % 1000);
  return t;
}

ULONG DiagnosticsModel::CallProvider(WMIDPREQUESTCODE code, TRACEHANDLE logger, ULONG* bufferSize) {
  WMIDPREQUEST callback;
  PVOID context;
  {
    auto lock = kernel_.Lock();
    if (!provider.registered) return ERROR_WMI_GUID_NOT_FOUND;
    callback = provider.callback;
    context = provider.context;
  }
  TraceRequestBuffer buffer{logger};
  ULONG size = sizeof buffer;
  ULONG status = callback(code, context, &size, &buffer);
  if (bufferSize) *bufferSize = size;
  return status;
}

ULONG DiagnosticsModel::EnableTrace(UCHAR level, ULONG flags, ULONG* bufferSize) {
  TRACEHANDLE logger;
  {
    auto lock = kernel_.Lock();
    if (!provider.registered) return ERROR_WMI_GUID_NOT_FOUND;
    logger = nextTraceHandle++;
    sessions.push_back(TraceSession{logger, level, flags, true});
  }
  return CallProvider(WMI_ENABLE_EVENTS, logger, bufferSize);
}

ULONG DiagnosticsModel::DisableTrace(ULONG* bufferSize) {
  {
    auto lock = kernel_.Lock();
    for (TraceSession& s : sessions) s.active = false;
  }
  return CallProvider(WMI_DISABLE_EVENTS, 0, bufferSize);
}

ULONG DiagnosticsModel::SendTraceRequest(WMIDPREQUESTCODE code, ULONG* bufferSize) {
  return CallProvider(code, 0, bufferSize);
}

bool DiagnosticsModel::ProviderRegistered() const {
  auto lock = kernel_.Lock();
  return provider.registered;
}
std::vector<EventLogEntry> DiagnosticsModel::EventLog() const {
  auto lock = kernel_.Lock();
  return eventLog.Entries();
}
std::vector<DebugLine> DiagnosticsModel::DebugLines() const {
  auto lock = kernel_.Lock();
  return debugLines.Entries();
}
std::vector<TraceRecord> DiagnosticsModel::TraceMessages() const {
  auto lock = kernel_.Lock();
  return traceMessages.Entries();
}
int DiagnosticsModel::OpenEventSources() const {
  auto lock = kernel_.Lock();
  return openEventSources;
}

}  // namespace sim

namespace os {
HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("RegisterEventSourceW")) {
    sim::LastError() = *fault;
    return nullptr;
  }
  if (lpUNCServerName != nullptr || lpSourceName == nullptr) {
    sim::LastError() = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  ++m.diagnostics.openEventSources;
  return m.kernel.Insert(std::make_shared<sim::EventSource>(lpSourceName));
}

BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid, WORD wNumStrings,
                  DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  auto source = m.kernel.FindAs<sim::EventSource>(hEventLog);
  if (!source) {
    sim::LastError() = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  // A thread of an ended process, unwound by the machine: nothing it logs is seen.
  if (m.kernel.Unwinding()) return TRUE;
  sim::EventLogEntry entry;
  entry.seq = m.kernel.NextSeq();
  entry.timeMs = m.kernel.Now();
  entry.source = source->name;
  entry.type = wType;
  entry.category = wCategory;
  entry.eventId = dwEventID;
  entry.hasUserSid = lpUserSid != nullptr;
  entry.dataSize = dwDataSize;
  for (WORD i = 0; i < wNumStrings; ++i) entry.strings.push_back(lpStrings[i] ? lpStrings[i] : L"");
  std::wstring text = source->name + L" type " + std::to_wstring(wType) + L" id " + std::to_wstring(dwEventID);
  for (const std::wstring& s : entry.strings) text += L" | " + s;
  m.diagnostics.eventLog.push_back(std::move(entry));
  m.kernel.Record(sim::JournalKind::kEvent, text);
  return TRUE;
}

BOOL DeregisterEventSource(HANDLE hEventLog) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.LockForRelease();
  if (!m.kernel.FindAs<sim::EventSource>(hEventLog)) {
    sim::LastError() = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  m.kernel.Close(hEventLog);
  --m.diagnostics.openEventSources;
  return TRUE;
}

void OutputDebugStringW(LPCWSTR lpOutputString) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (m.kernel.Unwinding()) return;
  sim::DebugLine line;
  line.seq = m.kernel.NextSeq();
  line.timeMs = m.kernel.Now();
  line.text = lpOutputString ? lpOutputString : L"";
  m.diagnostics.debugLines.push_back(line);
  m.kernel.Record(sim::JournalKind::kDebug, line.text);
}

void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  *lpSystemTime = m.diagnostics.LocalTimeAt(m.kernel.Now());
}

ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid, ULONG GuidCount,
                          PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR, LPCWSTR, PTRACEHANDLE RegistrationHandle) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (RequestAddress == nullptr || ControlGuid == nullptr || RegistrationHandle == nullptr ||
      (GuidCount > 0 && TraceGuidReg == nullptr))
    return ERROR_INVALID_PARAMETER;
  if (auto fault = m.kernel.TakeFault("RegisterTraceGuidsW")) return *fault;
  sim::TraceProviderRegistration& p = m.diagnostics.provider;
  p.registered = true;
  p.callback = RequestAddress;
  p.context = RequestContext;
  p.controlGuid = *ControlGuid;
  p.handle = m.diagnostics.nextTraceHandle++;
  *RegistrationHandle = p.handle;
  m.kernel.Record(sim::JournalKind::kTrace, L"RegisterTraceGuidsW");
  return ERROR_SUCCESS;
}

ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  sim::TraceProviderRegistration& p = m.diagnostics.provider;
  if (!p.registered || p.handle != RegistrationHandle) return ERROR_INVALID_PARAMETER;
  p = sim::TraceProviderRegistration{};
  m.kernel.Record(sim::JournalKind::kTrace, L"UnregisterTraceGuids");
  return ERROR_SUCCESS;
}

TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer) {
  if (Buffer == nullptr) {
    sim::LastError() = ERROR_INVALID_PARAMETER;
    return static_cast<TRACEHANDLE>(-1);
  }
  return static_cast<sim::TraceRequestBuffer*>(Buffer)->logger;
}

namespace {
const sim::TraceSession* FindSession(sim::Machine& m, TRACEHANDLE handle) {
  for (const sim::TraceSession& s : m.diagnostics.sessions)
    if (s.logger == handle && s.active) return &s;
  return nullptr;
}

// What the enabling session asked for; 0 with ERROR_INVALID_HANDLE for no session.
template <class T>
T SessionSetting(TRACEHANDLE handle, T sim::TraceSession::*setting) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  const sim::TraceSession* session = FindSession(m, handle);
  if (!session) return sim::Fail<T>(ERROR_INVALID_HANDLE);
  sim::LastError() = ERROR_SUCCESS;
  return session->*setting;
}
}  // namespace

UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle) { return SessionSetting(TraceHandle, &sim::TraceSession::level); }

ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle) { return SessionSetting(TraceHandle, &sim::TraceSession::flags); }

ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid, USHORT MessageNumber, ...) {
  sim::TraceRecord record;
  record.logger = LoggerHandle;
  record.flags = MessageFlags;
  record.messageGuid = MessageGuid ? *MessageGuid : GUID{};
  record.number = MessageNumber;
  va_list args;
  va_start(args, MessageNumber);
  for (;;) {
    const void* address = va_arg(args, const void*);
    if (address == nullptr) break;
    size_t length = va_arg(args, size_t);
    const BYTE* bytes = static_cast<const BYTE*>(address);
    record.args.emplace_back(bytes, bytes + length);
  }
  va_end(args);

  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (!FindSession(m, LoggerHandle)) return ERROR_INVALID_HANDLE;
  if (m.kernel.Unwinding()) return ERROR_SUCCESS;
  record.seq = m.kernel.NextSeq();
  record.timeMs = m.kernel.Now();
  std::wstring text = L"TraceMessage " + std::to_wstring(MessageNumber);
  m.diagnostics.traceMessages.push_back(std::move(record));
  m.kernel.Record(sim::JournalKind::kTrace, text);
  return ERROR_SUCCESS;
}
}  // namespace os
