#include "monitor/device_recovery.h"

#include <algorithm>
#include <string>

#include "diag/logging.h"
#include "diag/termination_guard.h"
#include "monitor/device_check.h"
#include "monitor/disabled_devices.h"
#include "platform/devices.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {
constexpr DWORD kDisableToEnableMs = 1000;
// A disabled sensor is of no use at all: a failed enable is tried again.
constexpr int kEnableAttempts = 3;
constexpr DWORD kEnableRetryMs = 1000;

struct StateChangeStep {
  DWORD stateChange;
  LPCWSTR announcement;
  LPCWSTR attachFailure;
  LPCWSTR installerFailure;
};

constexpr StateChangeStep kDisableStep = {
    DICS_DISABLE, L"[ZEFO Service] Disable the FPR device... ",
    L"[ZEFO Service] SetupDiSetClassInstallParams fail(Disable Device), errorcode = 0x%.8X",
    L"[ZEFO Service] SetupDiCallClassInstaller fail (Disable Device), errorcode = 0x%.8X"};
constexpr StateChangeStep kEnableStep = {
    DICS_ENABLE, L"[ZEFO Service] Enalbe the FPR device... ",
    L"[ZEFO Service] SetupDiSetClassInstallParams fail(Enable Device), errorcode = 0x%.8X",
    L"[ZEFO Service] SetupDiCallClassInstaller fail (Enable Device), errorcode = 0x%.8X"};

// Attaches the property-change request and has the class installer carry it
// out; true when it did. A request that could not be attached is not carried
// out: the installer would act on whatever request is still attached (the
// disable step's, at the enable step). Each failure's code goes to dwErrorCode.
bool ChangeDeviceState(const DeviceMember& member, const StateChangeStep& step, DWORD& dwErrorCode) {
  LogServiceMessage(step.announcement, EVENTLOG_INFORMATION_TYPE);
  SP_PROPCHANGE_PARAMS params{};
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = step.stateChange;
  params.Scope = DICS_FLAG_GLOBAL;
  params.HwProfile = 0;
  if (!os::SetupDiSetClassInstallParamsW(member.deviceInfoSet, &member.deviceInfoData, &params.ClassInstallHeader,
                                         sizeof params)) {
    dwErrorCode = os::GetLastError();
    LogFormatted(EVENTLOG_ERROR_TYPE, step.attachFailure, dwErrorCode);
    return false;
  }
  if (!os::SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, member.deviceInfoSet, &member.deviceInfoData)) {
    dwErrorCode = os::GetLastError();
    LogFormatted(EVENTLOG_ERROR_TYPE, step.installerFailure, dwErrorCode);
    return false;
  }
  return true;
}

bool EnableDevice(const DeviceMember& member, DWORD& dwErrorCode) {
  for (int attempt = 1;; ++attempt) {
    if (ChangeDeviceState(member, kEnableStep, dwErrorCode)) return true;
    if (attempt == kEnableAttempts) return false;
    os::Sleep(kEnableRetryMs);
  }
}

// Empty when it cannot be read; the device is then recovered without a record.
std::wstring InstanceIdOf(const DeviceMember& member) {
  WCHAR szInstanceId[MAX_DEVICE_ID_LEN] = {};
  if (!os::SetupDiGetDeviceInstanceIdW(member.deviceInfoSet, &member.deviceInfoData, szInstanceId, MAX_DEVICE_ID_LEN,
                                       nullptr)) {
    LogFormatted(EVENTLOG_ERROR_TYPE, L"[ZEFO Service] SetupDiGetDeviceInstanceId fail, errorcode = 0x%.8X",
                 os::GetLastError());
    return {};
  }
  return szInstanceId;
}

void DisableAndEnable(const DeviceMember& member, DWORD& dwErrorCode) {
  LogServiceMessage(L"[ZEFO Service] Enter Start Disable and Enable ZEFO FPR device", EVENTLOG_INFORMATION_TYPE);
  // A stop must not cut the worker between the two steps: that would leave
  // the sensor disabled. The record covers what no guard can: a crash.
  TerminationGuard guard;
  const std::wstring instanceId = InstanceIdOf(member);
  const bool recorded = !instanceId.empty() && RecordDisabledDevice(instanceId);
  ChangeDeviceState(member, kDisableStep, dwErrorCode);
  os::Sleep(kDisableToEnableMs);
  if (EnableDevice(member, dwErrorCode) && recorded) ForgetDisabledDevice(instanceId);
}
}  // namespace

void RestoreDevicesDisabledByService() {
  const std::vector<std::wstring> recorded = DevicesDisabledByService();
  if (recorded.empty()) return;
  DWORD dwErrorCode = 0;
  SearchBiometricDevices(SPDRP_DEVICEDESC, [&](const DeviceMember& member) {
    const std::wstring instanceId = InstanceIdOf(member);
    if (std::find(recorded.begin(), recorded.end(), instanceId) == recorded.end()) return Walk::kNext;
    LogServiceMessage(L"[ZEFO Service] Enable the FPR device an interrupted recovery left disabled",
                      EVENTLOG_WARNING_TYPE);
    if (EnableDevice(member, dwErrorCode)) ForgetDisabledDevice(instanceId);
    return Walk::kNext;
  });
}

int RecoverZEFOFPDevice() {
  LogServiceMessage(L"[ZEFO Service] Enter DisableAndEnableZEFOFPDevice", EVENTLOG_INFORMATION_TYPE);
  DWORD dwErrorCode = 0;
  bool allDescriptionsRead = true;
  const DeviceSearchResult search = SearchBiometricDevices(SPDRP_DEVICEDESC, [&](const DeviceMember& member) {
    if (!member.propertyRead) {
      LogFormattedAs(kDebugLogSource, EVENTLOG_INFORMATION_TYPE,
                     L"[ZEFO Service] RecoverZEFOFPDevice fail, GetLastError = % d",
                     static_cast<int>(member.readError));
      allDescriptionsRead = false;
      return Walk::kStop;
    }
    if (IsZefoSensor(member)) DisableAndEnable(member, dwErrorCode);
    return Walk::kNext;
  });
  if (!search.listBuilt) {
    LogServiceMessage(L"[ZEFO Service] SetupDiGetClassDevs fail (m_hDevInfo == INVALID_HANDLE_VALUE)",
                      EVENTLOG_ERROR_TYPE);
    return 0;
  }
  if (!allDescriptionsRead) return 0;
  LogFormatted(EVENTLOG_INFORMATION_TYPE, L"[ZEFO Service] Exit RecoverZEFOFPDevice, errorcode = %d",
               static_cast<int>(dwErrorCode));
  return 1;
}
