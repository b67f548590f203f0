#include "monitor/device_recovery.h"

#include <algorithm>
#include <string>

#include "diag/logging.h"
#include "diag/termination_guard.h"
#include "monitor/device_check.h"
#include "monitor/disabled_devices.h"
#include "monitor/polling_worker.h"
#include "platform/devices.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {
constexpr DWORD kDisableToEnableMs = 1000;
// A disabled sensor is of no use at all: a failed enable is tried again.
constexpr int kEnableAttempts = 3;
constexpr DWORD kEnableRetryMs = 1000;
// A class installer call that takes longer than this is taken as hung.
constexpr DWORD kClassInstallerBoundMs = 60000;

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
  BOOL changed;
  {
    BoundedCall bounded(kClassInstallerBoundMs);
    changed = os::SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, member.deviceInfoSet, &member.deviceInfoData);
  }
  if (!changed) {
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

// Empty when it cannot be read.
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

enum class NodeState { kDisabled, kNotDisabled, kUnknown };

// Whether the device node shows it disabled (problem 22), as a disable by
// the class installer leaves it.
NodeState DisabledState(const DeviceMember& member) {
  ULONG ulStatus = 0;
  ULONG ulProblem = 0;
  if (os::CM_Get_DevNode_Status(&ulStatus, &ulProblem, member.deviceInfoData.DevInst, 0) != CR_SUCCESS)
    return NodeState::kUnknown;
  return (ulStatus & DN_HAS_PROBLEM) != 0 && ulProblem == CM_PROB_DISABLED ? NodeState::kDisabled
                                                                             : NodeState::kNotDisabled;
}

void DisableAndEnable(const DeviceMember& member, DWORD& dwErrorCode) {
  LogServiceMessage(L"[ZEFO Service] Enter Start Disable and Enable ZEFO FPR device", EVENTLOG_INFORMATION_TYPE);
  // No disable unless the service can find the device again, whatever
  // happens after it.
  const std::wstring instanceId = InstanceIdOf(member);
  if (instanceId.empty() || !RememberDisabledDevice(instanceId)) {
    LogServiceMessage(L"[ZEFO Service] FPR device not recorded, not disabled: try again at the next check",
                      EVENTLOG_ERROR_TYPE);
    return;
  }
  // A disable that did not take leaves nothing to remember: the entry would
  // later undo a person's disable.
  if (!ChangeDeviceState(member, kDisableStep, dwErrorCode) && DisabledState(member) == NodeState::kNotDisabled)
    ForgetDisabledDevice(instanceId);
  os::Sleep(kDisableToEnableMs);
  if (EnableDevice(member, dwErrorCode)) ForgetDisabledDevice(instanceId);
}
}  // namespace

void RestoreDevicesDisabledByService() {
  const std::vector<std::wstring> remembered = DevicesDisabledByService();
  if (remembered.empty()) return;
  DWORD dwErrorCode = 0;
  // A remembered device that is absent now stays remembered until it returns.
  SearchBiometricDevices(SPDRP_DEVICEDESC, [&](const DeviceMember& member) {
    if (!member.propertyRead) return Walk::kNext;
    const std::wstring instanceId = InstanceIdOf(member);
    if (std::find(remembered.begin(), remembered.end(), instanceId) == remembered.end()) return Walk::kNext;
    if (!IsZefoSensor(member)) {
      // Never one the recovery disabled: the record was written by someone else.
      LogFormatted(EVENTLOG_WARNING_TYPE, L"[ZEFO Service] %s is not a ZEFO FPR device, dropped from the recovery record",
                   instanceId.c_str());
      ForgetDisabledDevice(instanceId);
      return Walk::kNext;
    }
    switch (DisabledState(member)) {
      case NodeState::kUnknown:
        return Walk::kNext;
      case NodeState::kNotDisabled:
        // Enabled by someone else since: nothing left to restore.
        ForgetDisabledDevice(instanceId);
        return Walk::kNext;
      case NodeState::kDisabled:
        break;
    }
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
    if (!IsZefoSensor(member)) return Walk::kNext;
    // Disabled by a person (or by an earlier run, whose record enables it):
    // a disable and enable here would undo that.
    if (DisabledState(member) == NodeState::kDisabled) {
      LogServiceMessage(L"[ZEFO Service] FPR device is disabled, not recovered", EVENTLOG_INFORMATION_TYPE);
      return Walk::kNext;
    }
    // Once a stop is asked for, no new disable: the worker is to leave.
    if (StopRequested()) {
      LogServiceMessage(L"[ZEFO Service] Stop requested, FPR device not disabled", EVENTLOG_INFORMATION_TYPE);
      return Walk::kStop;
    }
    DisableAndEnable(member, dwErrorCode);
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
