// The platform operations the simulated machine can make fail (Machine::Fail
// and its kin): each one takes its faults under this name, in one place of
// the model. A name outside this list would never fail.
#pragma once

#include <algorithm>
#include <iterator>
#include <string_view>

namespace sim {

struct FaultableOperation {
  std::string_view name;
  // The name each call is about, which a fault may be narrowed to
  // (Machine::FailNamed): the value a registry call reads or writes, ...
  // Empty: its calls are not told apart by a name.
  std::string_view about;
};

inline constexpr FaultableOperation kFaultableOperations[] = {
    {"AdjustTokenPrivileges", ""},
    {"CM_Get_DevNode_Status", ""},
    {"ChangeServiceConfig2W", ""},
    {"CloseHandle", ""},
    {"ControlService", ""},
    {"ConvertSecurityDescriptorToStringSecurityDescriptorW", ""},
    {"ConvertStringSecurityDescriptorToSecurityDescriptorW", ""},
    {"CreateEventW", "the event's name"},
    {"CreateProcessW", "the command line"},
    {"CreateServiceW", ""},
    {"CreateThread", ""},
    {"DeleteService", ""},
    {"GetFirmwareEnvironmentVariableW", ""},
    {"GetModuleFileNameW", ""},
    {"GetNamedSecurityInfoW", "the path"},
    {"GetSecurityInfo", ""},
    {"GetSystemDirectoryW", ""},
    {"LookupPrivilegeValueW", ""},
    {"OpenProcessToken", ""},
    {"OpenSCManagerW", ""},
    {"OpenServiceW", ""},
    {"QueryServiceConfig2W", ""},
    {"QueryServiceStatus", ""},
    {"RegCreateKeyExW", "the subkey path"},
    {"RegDeleteKeyW", "the subkey path"},
    {"RegGetKeySecurity", ""},
    {"RegOpenKeyExW", "the subkey path"},
    {"RegOpenKeyW", "the subkey path"},
    {"RegQueryValueExW", "the value name"},
    {"RegSetKeySecurity", ""},
    {"RegSetValueExW", "the value name"},
    {"RegisterEventSourceW", ""},
    {"RegisterPowerSettingNotification", ""},
    {"RegisterServiceCtrlHandlerExW", ""},
    {"RegisterTraceGuidsW", ""},
    {"SetDefaultDllDirectories", ""},
    {"SetServiceStatus", ""},
    {"SetupDiCallClassInstaller", ""},
    {"SetupDiEnumDeviceInfo", ""},
    {"SetupDiGetClassDevsW", ""},
    {"SetupDiGetDeviceInstanceIdW", ""},
    {"SetupDiGetDeviceRegistryPropertyW", ""},
    {"SetupDiOpenDevRegKey", ""},
    {"SetupDiSetClassInstallParamsW", ""},
    {"StartServiceCtrlDispatcherW", ""},
    {"StartServiceW", ""},
    {"UnregisterPowerSettingNotification", ""},
};

// The operation of that name; null when the machine cannot fail it.
inline const FaultableOperation* FindFaultableOperation(std::string_view op) {
  const auto it = std::find_if(std::begin(kFaultableOperations), std::end(kFaultableOperations),
                               [op](const FaultableOperation& o) { return o.name == op; });
  return it == std::end(kFaultableOperations) ? nullptr : &*it;
}

}  // namespace sim
