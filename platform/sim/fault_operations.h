// The platform operations the simulated machine can make fail (Machine::Fail
// and its kin): each one takes its faults under this name, in one place of
// the model. A name outside this list would never fail.
#pragma once

#include <algorithm>
#include <iterator>
#include <string_view>

namespace sim {

inline constexpr std::string_view kFaultableOperations[] = {
    "AdjustTokenPrivileges",
    "CM_Get_DevNode_Status",
    "CloseHandle",
    "ControlService",
    "ConvertSecurityDescriptorToStringSecurityDescriptorW",
    "ConvertStringSecurityDescriptorToSecurityDescriptorW",
    "CreateEventW",
    "CreateProcessW",
    "CreateServiceW",
    "CreateThread",
    "DeleteService",
    "GetFirmwareEnvironmentVariableW",
    "GetModuleFileNameW",
    "GetNamedSecurityInfoW",
    "GetSecurityInfo",
    "GetSystemDirectoryW",
    "LookupPrivilegeValueW",
    "OpenProcessToken",
    "OpenSCManagerW",
    "OpenServiceW",
    "QueryServiceStatus",
    "RegCreateKeyExW",
    "RegDeleteKeyW",
    "RegGetKeySecurity",
    "RegOpenKeyExW",
    "RegOpenKeyW",
    "RegQueryValueExW",
    "RegSetKeySecurity",
    "RegSetValueExW",
    "RegisterEventSourceW",
    "RegisterPowerSettingNotification",
    "RegisterServiceCtrlHandlerExW",
    "RegisterTraceGuidsW",
    "SetDefaultDllDirectories",
    "SetServiceStatus",
    "SetupDiCallClassInstaller",
    "SetupDiEnumDeviceInfo",
    "SetupDiGetClassDevsW",
    "SetupDiGetDeviceInstanceIdW",
    "SetupDiGetDeviceRegistryPropertyW",
    "SetupDiOpenDevRegKey",
    "SetupDiSetClassInstallParamsW",
    "StartServiceCtrlDispatcherW",
    "StartServiceW",
    "UnregisterPowerSettingNotification",
};

inline bool IsFaultableOperation(std::string_view op) {
  return std::find(std::begin(kFaultableOperations), std::end(kFaultableOperations), op) !=
         std::end(kFaultableOperations);
}

}  // namespace sim
