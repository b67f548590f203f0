#include "ess/secure_fingerprint.h"

#include <optional>

#include "diag/logging.h"
#include "ess/biometric_service.h"
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
constexpr LPCWSTR kEssStateNotRead =
    L"[ZEFO Service] EssState not read (0x%.8X), SecureFingerprint left as it is until the next check";
// SeSystemEnvironmentPrivilege, which reading firmware variables needs,
// enabled for as long as the object lives and then put back as it was, so
// that the programs the service starts do not inherit it enabled.
class SystemEnvironmentPrivilege {
 public:
  explicit SystemEnvironmentPrivilege(HANDLE hToken) : token_(hToken) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // A failed lookup leaves LUID 0, which no token holds: the adjustment then fails.
    os::LookupPrivilegeValueW(nullptr, SE_SYSTEM_ENVIRONMENT_NAME, &privileges.Privileges[0].Luid);
    DWORD dwReturnLength = 0;
    // Success shows only in the last-error code (ERROR_NOT_ALL_ASSIGNED when
    // the token lacks the privilege); a stale code must not count as the answer.
    os::SetLastError(ERROR_SUCCESS);
    os::AdjustTokenPrivileges(token_, FALSE, &privileges, sizeof previous_, &previous_, &dwReturnLength);
    error_ = os::GetLastError();
  }
  ~SystemEnvironmentPrivilege() {
    // Lists only what the adjustment changed: nothing when it was enabled already.
    if (error_ == ERROR_SUCCESS && previous_.PrivilegeCount != 0)
      os::AdjustTokenPrivileges(token_, FALSE, &previous_, 0, nullptr, nullptr);
  }
  SystemEnvironmentPrivilege(const SystemEnvironmentPrivilege&) = delete;
  SystemEnvironmentPrivilege& operator=(const SystemEnvironmentPrivilege&) = delete;

  // ERROR_SUCCESS once enabled; ERROR_NOT_ALL_ASSIGNED when the token lacks it.
  DWORD Error() const { return error_; }

 private:
  HANDLE token_;
  TOKEN_PRIVILEGES previous_{};
  DWORD error_ = ERROR_SUCCESS;
};

// The failures of a firmware read that mean this machine has no such
// variable, or the service may not read it: the secure setting is then off.
// Any other failure may pass; it decides nothing.
bool MeansNoEssState(DWORD error) {
  return error == ERROR_ENVVAR_NOT_FOUND || error == ERROR_INVALID_FUNCTION || error == ERROR_PRIVILEGE_NOT_HELD;
}

// 1 when the firmware says the SDEV table is loaded; 0 when it says it is
// not, has no such variable, or the service lacks the privilege to read it;
// none when the answer could not be had now (the setting is then left alone).
std::optional<DWORD> DesiredSecureFingerprint() {
  UniqueKernelHandle token;
  if (!os::OpenProcessToken(os::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Put())) {
    const DWORD error = os::GetLastError();
    LogServiceMessage(L"[ZEFO Service] OpenProcessToken - fail", EVENTLOG_INFORMATION_TYPE);
    LogFormatted(EVENTLOG_WARNING_TYPE, kEssStateNotRead, error);
    return std::nullopt;
  }
  const SystemEnvironmentPrivilege privilege(token.Get());
  if (privilege.Error() != ERROR_SUCCESS) {
    LogServiceMessage(L"[ZEFO Service] AdjustTokenPrivileges() - fail", EVENTLOG_INFORMATION_TYPE);
    if (privilege.Error() == ERROR_NOT_ALL_ASSIGNED) return 0;
    LogFormatted(EVENTLOG_WARNING_TYPE, kEssStateNotRead, privilege.Error());
    return std::nullopt;
  }
  BYTE buffer[kFirmwareBufferBytes] = {};
  const DWORD dwVarLen =
      os::GetFirmwareEnvironmentVariableW(kEssStateName, kEssStateVendorGuid, buffer, kFirmwareBufferBytes);
  const DWORD readError = os::GetLastError();  // before logging can change it
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] dwVarLen = %d", static_cast<int>(dwVarLen));
  if (dwVarLen == 0) {
    WriteDebugLog(kDebugInfo, L"[ZEFO] Nothing return, error code =  0x%X", readError);
    if (MeansNoEssState(readError)) return 0;
    LogFormatted(EVENTLOG_WARNING_TYPE, kEssStateNotRead, readError);
    return std::nullopt;
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

EssSyncOutcome UpdateSecureFingerprintSetting(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDeviceInfoData) {
  const std::optional<DWORD> desired = DesiredSecureFingerprint();
  if (!desired) return EssSyncOutcome::kTryAgain;
  const DWORD dwDesired = *desired;

  UniqueRegKey deviceKey(
      os::SetupDiOpenDevRegKey(hDevInfo, pDeviceInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ | KEY_WRITE));
  if (!deviceKey) {
    const DWORD error = os::GetLastError();
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] SetupDiOpenDevRegKey fail (0x%.8X)", error);
    // A key that does not exist is the device's make; any other failure may pass.
    return error == ERROR_KEY_DOES_NOT_EXIST ? EssSyncOutcome::kDone : EssSyncOutcome::kTryAgain;
  }
  UniqueRegKey configurations;
  const LSTATUS res = os::RegOpenKeyW(deviceKey.Get(), kConfigurationsSubkey, configurations.Put());
  if (res != ERROR_SUCCESS) {
    LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Open Key fail, Res = 0x%.8X!!", static_cast<DWORD>(res));
    return res == ERROR_FILE_NOT_FOUND ? EssSyncOutcome::kDone : EssSyncOutcome::kTryAgain;
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
  return EssSyncOutcome::kDone;
}
