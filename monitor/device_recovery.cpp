#include "monitor/device_recovery.h"

#include "diag/logging.h"
#include "diag/termination_guard.h"
#include "monitor/device_check.h"
#include "platform/devices.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {
constexpr DWORD kDisableToEnableMs = 1000;

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
// out; the installer is called even when the attach failed. Each failure's
// code goes to dwErrorCode.
void ChangeDeviceState(const DeviceMember& member, const StateChangeStep& step, DWORD& dwErrorCode) {
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
  }
  if (!os::SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, member.deviceInfoSet, &member.deviceInfoData)) {
    dwErrorCode = os::GetLastError();
    LogFormatted(EVENTLOG_ERROR_TYPE, step.installerFailure, dwErrorCode);
  }
}

void DisableAndEnable(const DeviceMember& member, DWORD& dwErrorCode) {
  LogServiceMessage(L"[ZEFO Service] Enter Start Disable and Enable ZEFO FPR device", EVENTLOG_INFORMATION_TYPE);
  // A stop must not cut the worker between the two steps: that would leave
  // the sensor disabled.
  TerminationGuard guard;
  ChangeDeviceState(member, kDisableStep, dwErrorCode);
  os::Sleep(kDisableToEnableMs);
  ChangeDeviceState(member, kEnableStep, dwErrorCode);
}
}  // namespace

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
