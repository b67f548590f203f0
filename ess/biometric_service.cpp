#include "ess/biometric_service.h"

#include <cwchar>
#include <functional>

#include "diag/logging.h"
#include "diag/termination_guard.h"
#include "monitor/disabled_devices.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/sync.h"

std::atomic<bool> g_bDeferBiometricRestarts{false};
std::atomic<bool> g_bBiometricRestartPending{false};
std::atomic<bool> g_bBiometricStartOwed{false};
std::atomic<int> g_nBiometricRestartsRunning{0};

namespace {
constexpr LPCWSTR kBiometricService = L"WbioSrvc";
constexpr LPCWSTR kServiceControlTool = L"sc.exe";
constexpr LPCWSTR kStopBiometricService = L"sc stop WbioSrvc";
constexpr LPCWSTR kStartBiometricService = L"sc start WbioSrvc";
// How long a run of sc.exe is waited for; one that hangs is left behind.
constexpr DWORD kSystemToolWaitMs = 20000;
// At least this long between the two commands, and as long as the biometric
// service takes to stop, up to kServiceStateWaitMs.
constexpr DWORD kStopToStartMs = 500;
// How long the biometric service is given to stop, or to leave STOPPED after
// a start, and how often its state is looked at meanwhile.
constexpr DWORD kServiceStateWaitMs = 20000;
constexpr DWORD kServiceStatePollMs = 250;
constexpr DWORD kStartRetryMs = 1000;
static_assert(kBiometricStartAttemptMs == kSystemToolWaitMs + kServiceStateWaitMs);

class RestartRunning {
 public:
  RestartRunning() { g_nBiometricRestartsRunning.fetch_add(1); }
  ~RestartRunning() { g_nBiometricRestartsRunning.fetch_sub(1); }
  RestartRunning(const RestartRunning&) = delete;
  RestartRunning& operator=(const RestartRunning&) = delete;
};

// Starts a tool of the system directory by its full path, never through a
// command interpreter or a search path; its process, or none when it could
// not be started.
UniqueKernelHandle StartSystemTool(LPCWSTR toolFile, LPCWSTR commandLine) {
  WCHAR application[MAX_PATH];
  const UINT length = os::GetSystemDirectoryW(application, MAX_PATH);
  // Only the whole path is run: a cut one names another program, or none.
  if (length == 0 || length + 1 + std::wcslen(toolFile) >= MAX_PATH) {
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] No full path for %s (GetSystemDirectory = %d), \"%s\" not run",
                 toolFile, static_cast<int>(length), commandLine);
    return {};
  }
  FormatInto(application + length, MAX_PATH - length, L"\\%s", toolFile);
  WCHAR commandLineCopy[64];  // CreateProcessW may write to it
  FormatInto(commandLineCopy, 64, L"%s", commandLine);
  STARTUPINFOW startupInfo{};
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION processInfo{};
  if (!os::CreateProcessW(application, commandLineCopy, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startupInfo, &processInfo)) {
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] \"%s\" not run, CreateProcess fail (0x%.8X)", commandLine,
                 os::GetLastError());
    return {};
  }
  UniqueKernelHandle thread(processInfo.hThread);
  return UniqueKernelHandle(processInfo.hProcess);
}

// Runs "sc ..." and waits for it, but not for ever; false when it could not
// be started. Its exit code is not used: the service's state tells.
bool RunServiceControlTool(LPCWSTR commandLine) {
  const UniqueKernelHandle process = StartSystemTool(kServiceControlTool, commandLine);
  if (!process) return false;
  BoundedCall bounded(kSystemToolWaitMs);
  if (os::WaitForSingleObject(process.Get(), kSystemToolWaitMs) == WAIT_TIMEOUT)
    LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] \"%s\" did not end within %d s, not waited for any more",
                 commandLine, static_cast<int>(kSystemToolWaitMs / 1000));
  return true;
}

// The biometric service's state as the SCM reports it; false with the error
// when it cannot be queried.
bool QueryBiometricServiceState(DWORD& state, DWORD& error) {
  UniqueScHandle manager(os::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service;
  SERVICE_STATUS status{};
  if (!manager || !(service = UniqueScHandle(os::OpenServiceW(manager.Get(), kBiometricService, SERVICE_QUERY_STATUS))) ||
      !os::QueryServiceStatus(service.Get(), &status)) {
    error = os::GetLastError();
    return false;
  }
  state = status.dwCurrentState;
  return true;
}

// Waits until the biometric service's state satisfies reached, at most
// kServiceStateWaitMs. A state that cannot be queried is not waited for:
// true, as if reached, so that an unreadable state does not hold anything up.
bool AwaitBiometricService(const std::function<bool(DWORD)>& reached) {
  for (DWORD waited = 0;; waited += kServiceStatePollMs) {
    DWORD state = 0;
    DWORD error = 0;
    if (!QueryBiometricServiceState(state, error)) {
      LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] WbioSrvc state not known (0x%.8X), not waited for", error);
      return true;
    }
    if (reached(state)) return true;
    if (waited >= kServiceStateWaitMs) return false;
    os::Sleep(kServiceStatePollMs);
  }
}

bool Stopped(DWORD state) { return state == SERVICE_STOPPED; }
bool Starting(DWORD state) { return state == SERVICE_START_PENDING || state == SERVICE_RUNNING; }

void StartBiometricService(int attempts) {
  for (int attempt = 1;; ++attempt) {
    if (RunServiceControlTool(kStartBiometricService) && AwaitBiometricService(Starting)) {
      g_bBiometricStartOwed = false;
      RecordBiometricStartOwed(false);
      return;
    }
    if (attempt == attempts) break;
    os::Sleep(kStartRetryMs);
  }
  g_bBiometricStartOwed = true;
  LogServiceMessage(L"[ZEFO Service] WbioSrvc did not start, try again at the next check", EVENTLOG_ERROR_TYPE);
}

void RestartBiometricService() {
  RestartRunning running;
  // From the stop command on, a start is owed until one takes; a crash
  // between the two commands leaves it to the next run, through the record.
  if (!RecordBiometricStartOwed(true)) {
    LogServiceMessage(L"[ZEFO Service] WbioSrvc restart not recorded, not stopped: try again at the next check",
                      EVENTLOG_ERROR_TYPE);
    g_bBiometricRestartPending = true;
    return;
  }
  g_bBiometricStartOwed = true;
  RunServiceControlTool(kStopBiometricService);
  os::Sleep(kStopToStartMs);
  if (!AwaitBiometricService(Stopped))
    LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] WbioSrvc not stopped within %d s, start it all the same",
                 static_cast<int>(kServiceStateWaitMs / 1000));
  StartBiometricService(kBiometricStartAttempts);
}
}  // namespace

void RequestBiometricServiceRestart() {
  if (!g_bDeferBiometricRestarts.load()) {
    RestartBiometricService();
    return;
  }
  g_bBiometricRestartPending = true;
  LogServiceMessage(L"[ZEFO Service] Reset WbSrv once the service is running", EVENTLOG_INFORMATION_TYPE);
}

BiometricRestartDeferral::BiometricRestartDeferral() { g_bDeferBiometricRestarts = true; }
BiometricRestartDeferral::~BiometricRestartDeferral() { g_bDeferBiometricRestarts = false; }

void RunDeferredBiometricRestart() {
  if (g_bBiometricRestartPending.exchange(false)) RestartBiometricService();
}

void LoadOwedBiometricStart() {
  if (BiometricStartOwedOnRecord()) g_bBiometricStartOwed = true;
}

bool BiometricRestartRunning() { return g_nBiometricRestartsRunning.load() > 0; }
bool BiometricStartOwed() { return g_bBiometricStartOwed.load(); }

void RunOwedBiometricStart(int attempts) {
  if (!g_bBiometricStartOwed.load()) return;
  RestartRunning running;
  StartBiometricService(attempts);
}
