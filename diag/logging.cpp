#include "diag/logging.h"

#include <cstring>

#include "diag/settings.h"
#include "diag/termination_guard.h"
#include "platform/diagnostics.h"

thread_local WCHAR g_szLogMessage[kLogMessageChars];

const GUID kTraceControlGuid = {0x4E78A3C1, 0x3F98, 0x47E6, {0xA3, 0xAA, 0xD7, 0xBB, 0xFA, 0xCC, 0x35, 0x8F}};
const GUID kTraceMessageGuid = {0x60C4D1E7, 0xD069, 0xACDE, {0x91, 0x09, 0x26, 0x09, 0x35, 0x6F, 0xA6, 0x09}};

namespace {
constexpr std::size_t kDebugMessageChars = 512;  // prefix + a whole g_szLogMessage, with room
constexpr std::size_t kDebugLineChars = 1024;
constexpr LPCWSTR kComponentTag = L"ZEFOFPSERVICE";
constexpr ULONG kTraceMessageFlags =
    TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP | TRACE_MESSAGE_SYSTEMINFO;

struct SeverityInfo {
  LPCWSTR tag;
  UCHAR minimumLevel;
  USHORT messageNumber;
};

SeverityInfo InfoFor(int severity) {
  switch (severity) {
    case kDebugError:
      return {L" [ERR]", 2, 10};
    case kDebugWarning:
      return {L" [WAR]", 3, 11};
    default:
      return {L"", 4, 12};
  }
}

TraceProvider TraceProviderRecord{};
// The active provider record; null while not initialised.
std::atomic<TraceProvider*> g_pTraceControl{nullptr};

// 8-bit copy of a line, one byte per character; what the default locale
// cannot express in one byte becomes '?'.
void NarrowCopy(LPCWSTR wide, char* narrow, std::size_t capacity) {
  std::size_t i = 0;
  for (; wide[i] != L'\0' && i + 1 < capacity; ++i) {
    auto c = static_cast<unsigned long>(wide[i]);
    narrow[i] = c <= 0xFF ? static_cast<char>(c) : '?';
  }
  narrow[i] = '\0';
}

void WriteDebugLogV(int severity, LPCWSTR format, va_list args) {
  if (g_dwLogSwitch == 0) return;
  TerminationGuard guard;
  WCHAR message[kDebugMessageChars];
  FormatInto(message, kDebugMessageChars, format, args);

  SYSTEMTIME now;
  os::GetLocalTime(&now);
  const SeverityInfo info = InfoFor(severity);
  WCHAR line[kDebugLineChars];
  FormatInto(line, kDebugLineChars, L"[%02d/%02d %02d:%02d:%02d'%03d] [%s]%s %s\r\n", now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond, now.wMilliseconds, kComponentTag, info.tag, message);
  os::OutputDebugStringW(line);

  char narrow[kDebugLineChars];
  NarrowCopy(line, narrow, sizeof narrow);
  TraceProvider* provider = g_pTraceControl.load();
  if (provider != nullptr && (provider->enableFlags.load() & 1) != 0 &&
      provider->enableLevel.load() >= info.minimumLevel)
    SendTraceMessage(provider->loggerHandle.load(), info.messageNumber, narrow);
}
}  // namespace

void FormatInto(LPWSTR buffer, std::size_t capacity, LPCWSTR format, va_list args) {
  if (capacity == 0) return;
  // The formatter leaves no terminator when the text fills or overflows the count.
  os::_vsnwprintf(buffer, capacity - 1, format, args);
  buffer[capacity - 1] = L'\0';
}

void FormatInto(LPWSTR buffer, std::size_t capacity, LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  FormatInto(buffer, capacity, format, args);
  va_end(args);
}

void LogServiceMessage(LPCWSTR pszMessage, WORD wType, LPCWSTR pszSource) {
  if (g_dwLogSwitch != 1) return;
  TerminationGuard guard;
  UniqueEventSource source(os::RegisterEventSourceW(nullptr, pszSource));
  WriteDebugLog(kDebugInfo, L"[ZEFO Service] %s", pszMessage);
  if (!source) return;
  LPCWSTR strings[2] = {pszSource, pszMessage};
  os::ReportEventW(source.Get(), wType, 0, kServiceEventId, nullptr, 2, 0, strings, nullptr);
}

void LogFormatted(WORD wType, LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  FormatInto(g_szLogMessage, kLogMessageChars, format, args);
  va_end(args);
  LogServiceMessage(g_szLogMessage, wType);
}

void LogFormattedAs(LPCWSTR pszSource, WORD wType, LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  FormatInto(g_szLogMessage, kLogMessageChars, format, args);
  va_end(args);
  LogServiceMessage(g_szLogMessage, wType, pszSource);
}

void WriteDebugLog(int severity, LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  WriteDebugLogV(severity, format, args);
  va_end(args);
}

void SendTraceMessage(TRACEHANDLE hLogger, USHORT usMessageNumber, const char* pszText) {
  const char* text = pszText ? pszText : "NULL";
  size_t length = std::strlen(text) + 1;
  os::TraceMessage(hLogger, kTraceMessageFlags, &kTraceMessageGuid, usMessageNumber, static_cast<const void*>(text),
                   length, static_cast<const void*>(nullptr));
}

ULONG WINAPI TraceControlCallback(WMIDPREQUESTCODE RequestCode, PVOID Context, ULONG* BufferSize, PVOID Buffer) {
  *BufferSize = 0;
  auto* provider = static_cast<TraceProvider*>(Context);
  switch (RequestCode) {
    case WMI_ENABLE_EVENTS: {
      TRACEHANDLE logger = os::GetTraceLoggerHandle(Buffer);
      provider->enableLevel = os::GetTraceEnableLevel(logger);
      provider->enableFlags = os::GetTraceEnableFlags(logger);
      provider->loggerHandle = logger;
      return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
      provider->enableFlags = 0;
      provider->enableLevel = 0;
      provider->loggerHandle = 0;
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

void RegisterTraceProvider() {
  TraceProvider& record = TraceProviderRecord;
  record.next = nullptr;
  record.loggerHandle = 0;
  record.flagWordCount = 1;
  record.enableLevel = 0;
  record.options = 0;
  record.enableFlags = 0;
  g_pTraceControl = &record;
  // The callback may run as soon as the provider is registered.
  for (TraceProvider* p = g_pTraceControl.load(); p != nullptr; p = p->next) {
    p->controlGuid = &kTraceControlGuid;
    TRACE_GUID_REGISTRATION registration{&kTraceControlGuid, nullptr};
    TRACEHANDLE handle = 0;
    os::RegisterTraceGuidsW(TraceControlCallback, p, &kTraceControlGuid, 1, &registration, nullptr, nullptr, &handle);
    p->registrationHandle = handle;
  }
}

void UnregisterTraceProvider() {
  TraceProvider* active = g_pTraceControl.load();
  if (active == nullptr) return;
  for (TraceProvider* p = active; p != nullptr; p = p->next) {
    if (p->registrationHandle != 0) {
      os::UnregisterTraceGuids(p->registrationHandle);
      p->registrationHandle = 0;
    }
  }
  g_pTraceControl = nullptr;
}

void ForgetTraceProvider() { g_pTraceControl = nullptr; }
