// The sim side: every test gets a fresh simulated machine.
#include "tests/conformance/side.h"

#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/sim/machine.h"
#include "platform/sync.h"

namespace conformance {
namespace {
class SimSide : public Side {
 public:
  explicit SimSide(sim::Scheduling scheduling = sim::Scheduling::Default()) : machine(scheduling) {}
  sim::Machine machine;
};
sim::Machine& M() { return sim::Machine::Current(); }
}  // namespace

std::unique_ptr<Side> MakeSide() { return std::make_unique<SimSide>(); }

std::unique_ptr<Side> MakeConcurrentSide() {
  sim::Scheduling freeRunning;
  freeRunning.mode = sim::Scheduling::Mode::kFreeRunning;
  return std::make_unique<SimSide>(freeRunning);
}

bool OnWine() { return false; }

void SetRegistryValue(const std::wstring& keyPath, const std::wstring& name, DWORD type,
                      const std::vector<BYTE>& data) {
  M().registry.SetValue(keyPath, name, type, data);
}

void CreateRegistryKey(const std::wstring& keyPath) { M().registry.CreateKey(keyPath); }

NonElevatedCaller::NonElevatedCaller() { M().SetThreadElevated(false); }
NonElevatedCaller::~NonElevatedCaller() { M().SetThreadElevated(true); }

namespace {
std::wstring InProgramFolder(const std::wstring& name) {
  const std::wstring& program = M().process.modulePath;
  return program.substr(0, program.find_last_of(L'\\') + 1) + name;
}
}  // namespace

std::wstring MakeFolder(const std::wstring& name, const wchar_t* sddl) {
  const std::wstring path = InProgramFolder(name);
  M().files.AddFolder(path, sddl);
  return path;
}

std::wstring MakeFile(const std::wstring& name) {
  const std::wstring path = InProgramFolder(name);
  M().files.AddFile(path);
  return path;
}

// The machine has drive C: only.
std::wstring UnusedDriveRoot() { return L"Q:\\"; }

void HoldMutex(const std::wstring& name) {
  M().PlantNamedObject(name, sim::Machine::NamedObjectKind::kMutex, false, /*elevatedOwner=*/true);
}

bool CanMakeFakeDevices() { return true; }

int AddBiometricDevice(const std::wstring& description, const std::vector<std::wstring>& hardwareIds) {
  return M().devices.AddDevice(sim::SimDevice{description, hardwareIds});
}

std::wstring HardwareKeyPath(int device) { return M().devices.HardwareKeyPath(device); }

bool SetDeviceProblem(int device, ULONG problem) {
  M().devices.SetProblem(device, problem);
  return true;
}

bool SetFirmwareVariable(const std::wstring& name, const std::wstring& vendorGuid, const std::vector<BYTE>& bytes) {
  M().firmware.SetVariable(name, vendorGuid, bytes);
  return true;
}

bool MakeFirmwareLegacy() {
  M().firmware.SetUefi(false);
  return true;
}

std::optional<StoredEvent> NewestEvent(const std::wstring& source) {
  auto log = M().diagnostics.EventLog();
  for (auto it = log.rbegin(); it != log.rend(); ++it)
    if (it->source == source) return StoredEvent{it->type, it->category, it->eventId, it->strings};
  return std::nullopt;
}

struct DebugOutputCapture::Listener {
  std::size_t first;  // lines before the capture began
};
DebugOutputCapture::DebugOutputCapture()
    : listener_(std::make_unique<Listener>(Listener{M().diagnostics.DebugLines().size()})) {}
DebugOutputCapture::~DebugOutputCapture() = default;
// The machine records a line before OutputDebugStringW returns.
std::vector<std::string> DebugOutputCapture::Lines(std::size_t) {
  std::vector<std::string> lines;
  auto all = M().diagnostics.DebugLines();
  for (std::size_t i = listener_->first; i < all.size(); ++i)
    lines.emplace_back(all[i].text.begin(), all[i].text.end());
  return lines;
}

bool EnableTraceProvider(const GUID&, UCHAR level, ULONG flags) {
  return M().diagnostics.EnableTrace(level, flags) != ERROR_WMI_GUID_NOT_FOUND;
}
void DisableTraceProvider() { M().diagnostics.DisableTrace(); }

// A second machine thread with a handle of its own stands in for the process.
DWORD SetEventFromOtherProcess(const std::wstring& name) {
  auto thread = M().Start(
      [name]() -> DWORD {
        UniqueKernelHandle event(os::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
        return event && os::SetEvent(event.Get()) ? ERROR_SUCCESS : os::GetLastError();
      },
      L"other process");
  return M().Join(thread);
}

namespace {
// The stand-in service on this machine, as tools/win32/stand_in_service.cpp
// behaves with the same times.
struct StandIn {
  std::wstring name;
  OtherServiceTimes times;
  SERVICE_STATUS_HANDLE status = nullptr;
  HANDLE stopped = nullptr;
  HANDLE handling = nullptr;
} g_standIn;

void ReportStandIn(DWORD state, DWORD checkPoint = 0) {
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, NO_ERROR, 0, checkPoint,
                        checkPoint == 0 ? 0u : 30000u};
  os::SetServiceStatus(g_standIn.status, &status);
}

DWORD WINAPI StandInHandler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control != SERVICE_CONTROL_STOP) return ERROR_CALL_NOT_IMPLEMENTED;
  os::SetEvent(g_standIn.handling);
  ReportStandIn(SERVICE_STOP_PENDING, 1);
  os::Sleep(g_standIn.times.handlerMs);
  ReportStandIn(SERVICE_STOP_PENDING, 2);
  os::SetEvent(g_standIn.stopped);
  return NO_ERROR;
}

void WINAPI StandInMain(DWORD, LPWSTR* argv) {
  g_standIn.status = os::RegisterServiceCtrlHandlerExW(argv[0], StandInHandler, nullptr);
  UniqueKernelHandle stopped(os::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_standIn.stopped = stopped.Get();
  UniqueKernelHandle handling(os::CreateEventW(nullptr, TRUE, FALSE, HandlingEventName(g_standIn.name).c_str()));
  g_standIn.handling = handling.Get();
  ReportStandIn(SERVICE_START_PENDING, 1);
  os::Sleep(g_standIn.times.startMs);
  ReportStandIn(SERVICE_RUNNING);
  os::WaitForSingleObject(stopped.Get(), INFINITE);
  os::Sleep(g_standIn.times.stopMs);
  ReportStandIn(SERVICE_STOPPED);
}

DWORD StandInProgram() {
  const SERVICE_TABLE_ENTRYW table[] = {{g_standIn.name.data(), StandInMain}, {nullptr, nullptr}};
  return os::StartServiceCtrlDispatcherW(table) ? 0 : os::GetLastError();
}
}  // namespace

bool StartOtherService(const std::wstring& name, const OtherServiceTimes& times) {
  if (times.handlerMs == 0) {
    M().scm.AddService(name, SERVICE_RUNNING, times.stopMs, times.startMs);
    return true;
  }
  g_standIn = StandIn{name, times};
  M().StartServiceProcess(name, StandInProgram);
  return M().RunUntil([] { return M().scm.services.at(g_standIn.name).status.dwCurrentState == SERVICE_RUNNING; });
}

// The machine's service process stands in for the second process.
DWORD RunChildProcess(const std::wstring& program) {
  M().Join(M().StartServiceProcess(L"ZefoConformanceChild", ChildPrograms().at(program)));
  return *M().process.ExitCode();
}
}  // namespace conformance
