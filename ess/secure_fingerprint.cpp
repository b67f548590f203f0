#include "ess/secure_fingerprint.h"

#include <atomic>
#include <cwchar>

#include "diag/logging.h"
#include "diag/termination_guard.h"
#include "platform/devices.h"
#include "platform/firmware.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/sync.h"

namespace {
constexpr DWORD kFirmwareBufferBytes = 4096;
constexpr LPCWSTR kConfigurationsSubkey = L"WinBio\\Configurations";
constexpr LPCWSTR kSecureFingerprintValue = L"SecureFingerprint";
constexpr DWORD kSecureFingerprintUnset = 99;
constexpr DWORD kStopToStartMs = 500;
constexpr LPCWSTR kServiceControlTool = L"sc.exe";
constexpr LPCWSTR kStopBiometricService = L"sc stop WbioSrvc";
constexpr LPCWSTR kStartBiometricService = L"sc start WbioSrvc";
// How long a run of sc.exe is waited for; it keeps a stop of this service, which
// must end within 30 s, waiting at most this long plus the pause.
constexpr DWORD kSystemToolWaitMs = 20000;

std::atomic<bool> g_bDeferRestarts{false};
std::atomic<bool> g_bRestartPending{false};

// Enables SeSystemEnvironmentPrivilege, which reading firmware variables needs.
bool EnableSystemEnvironmentPrivilege(HANDLE hToken) {
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // A failed lookup leaves LUID 0, which no token holds: the adjustment then fails.
  os::LookupPrivilegeValueW(nullptr, SE_SYSTEM_ENVIRONMENT_NAME, &privileges.Privileges[0].Luid);
  DWORD dwReturnLength = 0;
  // Success shows only in the last-error code (ERROR_NOT_ALL_ASSIGNED when the
  // token lacks the privilege); a stale code must not count as the answer.
  os::SetLastError(ERROR_SUCCESS);
  os::AdjustTokenPrivileges(hToken, FALSE, &privileges, 0, nullptr, &dwReturnLength);
  return os::GetLastError() == ERROR_SUCCESS;
}

// 1 when the firmware says the SDEV table is loaded; 0 for every other
// outcome, failures included.
DWORD DesiredSecureFingerprint() {
  UniqueKernelHandle token;
  if (!os::OpenProcessToken(os::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Put())) {
    LogServiceMessage(L"[ZEFO Service] OpenProcessToken - fail", EVENTLOG_INFORMATION_TYPE);
    return 0;
  }
  if (!EnableSystemEnvironmentPrivilege(token.Get())) {
    LogServiceMessage(L"[ZEFO Service] AdjustTokenPrivileges() - fail", EVENTLOG_INFORMATION_TYPE);
    return 0;
  }
  BYTE buffer[kFirmwareBufferBytes] = {};
  const DWORD dwVarLen =
      os::GetFirmwareEnvironmentVariableW(kEssStateName, kEssStateVendorGuid, buffer, kFirmwareBufferBytes);
  const DWORD readError = os::GetLastError();  // before logging can change it
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] dwVarLen = %d", static_cast<int>(dwVarLen));
  if (dwVarLen == 0) {
    WriteDebugLog(kDebugInfo, L"[ZEFO] Nothing return, error code =  0x%X", readError);
    return 0;
  }
  for (DWORD i = 0; i < dwVarLen; ++i)
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] (EssState) RetBuf[%d] =  %d", static_cast<int>(i),
                 static_cast<int>(buffer[i]));
  if (buffer[0] != 1) {
    LogServiceMessage(L"[ZEFO Service] SDEV table isn't loaded, disable ESS mode (SecureFingerprint = 0)",
                      EVENTLOG_INFORMATION_TYPE);
    return 0;
  }
  LogServiceMessage(L"[ZEFO Service] SDEV table is loaded, enable ESS mode (SecureFingerprint = 1)",
                    EVENTLOG_INFORMATION_TYPE);
  return 1;
}

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
                          &startupInfo, &processInfo))
    return {};
  UniqueKernelHandle thread(processInfo.hThread);
  return UniqueKernelHandle(processInfo.hProcess);
}

// Waits for a started tool, but not for ever: one that hangs is left behind
// and the service goes on. Its outcome is not used.
void AwaitSystemTool(const UniqueKernelHandle& process, LPCWSTR commandLine) {
  if (process && os::WaitForSingleObject(process.Get(), kSystemToolWaitMs) == WAIT_TIMEOUT)
    LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] \"%s\" did not end within %d s, not waited for any more",
                 commandLine, static_cast<int>(kSystemToolWaitMs / 1000));
}

void RestartBiometricService() {
  UniqueKernelHandle start;
  {
    // Between the two commands the biometric service is stopped: a stop of
    // this service must let "sc start" run first.
    TerminationGuard guard;
    AwaitSystemTool(StartSystemTool(kServiceControlTool, kStopBiometricService), kStopBiometricService);
    os::Sleep(kStopToStartMs);
    start = StartSystemTool(kServiceControlTool, kStartBiometricService);
  }
  AwaitSystemTool(start, kStartBiometricService);
}

void RequestBiometricServiceRestart() {
  if (!g_bDeferRestarts.load()) {
    RestartBiometricService();
    return;
  }
  g_bRestartPending = true;
  LogServiceMessage(L"[ZEFO Service] Reset WbSrv once the service is running", EVENTLOG_INFORMATION_TYPE);
}

void WriteSecureFingerprint(HKEY hConfigurations, DWORD dwDesired) {
  const LSTATUS res = os::RegSetValueExW(hConfigurations, kSecureFingerprintValue, 0, REG_DWORD,
                                         reinterpret_cast<const BYTE*>(&dwDesired), sizeof dwDesired);
  if (res == ERROR_SUCCESS)
    LogServiceMessage(L"[ZEFO Service] RegSetValue success", EVENTLOG_INFORMATION_TYPE);
  else
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] RegSetValue fail, res = %d!!", static_cast<int>(res));
}

// The stored value, or nothing when it is missing, unreadable or not a
// REG_DWORD (the biometric service could not use such a value either).
bool ReadSecureFingerprint(HKEY hConfigurations, DWORD& dwStored) {
  dwStored = 0;
  DWORD dwType = REG_NONE;
  DWORD cbData = sizeof dwStored;
  const LSTATUS res = os::RegQueryValueExW(hConfigurations, kSecureFingerprintValue, nullptr, &dwType,
                                           reinterpret_cast<LPBYTE>(&dwStored), &cbData);
  if (res == ERROR_SUCCESS && dwType == REG_DWORD && cbData == sizeof dwStored) return true;
  dwStored = 0;
  return false;
}
}  // namespace

void UpdateSecureFingerprintSetting(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDeviceInfoData) {
  const DWORD dwDesired = DesiredSecureFingerprint();

  UniqueRegKey deviceKey(
      os::SetupDiOpenDevRegKey(hDevInfo, pDeviceInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ | KEY_WRITE));
  if (!deviceKey) {
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] SetupDiOpenDevRegKey fail (0x%.8X)", os::GetLastError());
    return;
  }
  UniqueRegKey configurations;
  const LSTATUS res = os::RegOpenKeyW(deviceKey.Get(), kConfigurationsSubkey, configurations.Put());
  if (res != ERROR_SUCCESS) {
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Open Key fail, Res = 0x%.8X!!", static_cast<DWORD>(res));
    return;
  }
  LogServiceMessage(L"[ZEFO Service] Open Key success!!", EVENTLOG_INFORMATION_TYPE);

  DWORD dwStored = 0;
  const bool stored = ReadSecureFingerprint(configurations.Get(), dwStored);
  LogFormatted(EVENTLOG_INFORMATION_TYPE,
               L"[ZEFO Service] Get SecireFingerprint value, SecireFingerprint = %d!!", static_cast<int>(dwStored));
  if (!stored || dwStored == kSecureFingerprintUnset) {
    LogServiceMessage(L"[ZEFO Service] SecireFingerprint value is not exist, Set reg vlaue and not reset WbSrv!!",
                      EVENTLOG_INFORMATION_TYPE);
    WriteSecureFingerprint(configurations.Get(), dwDesired);
  } else if (dwStored == dwDesired) {
    LogServiceMessage(
        L"[ZEFO Service] SecireFingerprint value is expected, not modified reg vlaue and not reset WbSrv!!",
        EVENTLOG_INFORMATION_TYPE);
  } else {
    LogServiceMessage(
        L"[ZEFO Service] SecireFingerprint value should be modified, modifinf reg vlaue and reset WbSrv!!",
        EVENTLOG_INFORMATION_TYPE);
    WriteSecureFingerprint(configurations.Get(), dwDesired);
    RequestBiometricServiceRestart();
  }
}

BiometricRestartDeferral::BiometricRestartDeferral() { g_bDeferRestarts = true; }
BiometricRestartDeferral::~BiometricRestartDeferral() { g_bDeferRestarts = false; }

void RunDeferredBiometricRestart() {
  if (g_bRestartPending.exchange(false)) RestartBiometricService();
}
