#include "platform/devices.h"

#include <cstring>

#include "platform/sim/machine.h"

namespace sim {
namespace {
// {53D29EF7-377C-4D14-864B-EB3A85769359}: the biometric device setup class.
constexpr GUID kBiometricClass = {0x53D29EF7, 0x377C, 0x4D14, {0x86, 0x4B, 0xEB, 0x3A, 0x85, 0x76, 0x93, 0x59}};

DeviceProperty MultiSz(const std::vector<std::wstring>& strings) {
  std::wstring joined;
  for (const std::wstring& s : strings) joined += s + L'\0';
  joined += L'\0';
  DeviceProperty property{REG_MULTI_SZ, std::vector<BYTE>(joined.size() * sizeof(wchar_t))};
  std::memcpy(property.bytes.data(), joined.data(), property.bytes.size());
  return property;
}
}  // namespace

int DeviceModel::AddDevice(SimDevice device) {
  auto lock = kernel_.Lock();
  DeviceNode node;
  std::vector<BYTE> description = RegistryModel::StringBytes(device.description);
  node.properties[SPDRP_DEVICEDESC] = DeviceProperty{REG_SZ, std::move(description)};
  // A device without hardware ids has no such property.
  if (!device.hardwareIds.empty()) node.properties[SPDRP_HARDWAREID] = MultiSz(device.hardwareIds);
  node.device = std::move(device);
  nodes.push_back(std::move(node));
  return static_cast<int>(nodes.size()) - 1;
}

void DeviceModel::SetProblem(int device, ULONG problem, bool persists) {
  auto lock = kernel_.Lock();
  SimDevice& target = nodes.at(static_cast<std::size_t>(device)).device;
  target.problem = problem;
  target.problemPersists = problem != 0 && persists;
}

void DeviceModel::SetPresent(int device, bool present) {
  auto lock = kernel_.Lock();
  nodes.at(static_cast<std::size_t>(device)).device.present = present;
}

void DeviceModel::SetRawProperty(int device, DWORD property, DWORD type, std::vector<BYTE> bytes) {
  auto lock = kernel_.Lock();
  nodes.at(static_cast<std::size_t>(device)).properties[property] = DeviceProperty{type, std::move(bytes)};
}

std::wstring DeviceModel::InstanceId(int device) {
  std::wstring instance = std::to_wstring(device);
  instance.insert(0, instance.size() < 4 ? 4 - instance.size() : 0, L'0');
  return L"ROOT\\BIOMETRIC\\" + instance;
}

std::wstring DeviceModel::HardwareKeyPath(int device) const {
  return L"System\\CurrentControlSet\\Enum\\" + InstanceId(device) + L"\\Device Parameters";
}

std::vector<DeviceAction> DeviceModel::Actions() const {
  auto lock = kernel_.Lock();
  return actions.Entries();
}

std::vector<DeviceAction> DeviceModel::Refusals() const {
  auto lock = kernel_.Lock();
  return refusals.Entries();
}

int DeviceModel::OpenDeviceLists() const {
  auto lock = kernel_.Lock();
  return openLists;
}

void DeviceModel::Boot() {
  auto lock = kernel_.Lock();
  for (DeviceNode& node : nodes)
    if (!node.device.problemPersists) node.device.problem = 0;
}

void DeviceModel::SetInstallerTime(std::uint64_t ms) {
  auto lock = kernel_.Lock();
  installerTimeMs = ms;
}

void DeviceModel::Apply(int device, DWORD stateChange) {
  DeviceNode& node = nodes.at(static_cast<std::size_t>(device));
  // Enabling starts the device afresh, which clears the failure it had
  // unless its cause is still there.
  node.disabled = stateChange == DICS_DISABLE;
  if (stateChange == DICS_ENABLE && !node.device.problemPersists) node.device.problem = 0;
  kernel_.Changed();
}

void DeviceModel::SetDisabled(int device, bool disabled) {
  auto lock = kernel_.Lock();
  Apply(device, disabled ? DICS_DISABLE : DICS_ENABLE);
}

void DeviceModel::ChangeState(int device, DWORD stateChange) {
  Apply(device, stateChange);
  const DeviceNode& node = nodes[static_cast<std::size_t>(device)];
  DeviceAction action;
  action.seq = kernel_.NextSeq();
  action.timeMs = kernel_.Now();
  action.device = device;
  action.stateChange = stateChange;
  actions.push_back(action);
  kernel_.Record(sim::JournalKind::kDevice, std::wstring(stateChange == DICS_DISABLE ? L"disable " : L"enable ") +
                               std::to_wstring(device) + L" " + node.device.description);
}

void DeviceModel::Refuse(int device, DWORD stateChange, DWORD error) {
  DeviceAction refusal;
  refusal.seq = kernel_.NextSeq();
  refusal.timeMs = kernel_.Now();
  refusal.device = device;
  refusal.stateChange = stateChange;
  refusal.error = error;
  refusals.push_back(refusal);
  kernel_.Record(sim::JournalKind::kDevice, std::wstring(stateChange == DICS_DISABLE ? L"disable " : L"enable ") +
                                                std::to_wstring(device) + L" refused with error " +
                                                std::to_wstring(error));
}

}  // namespace sim

namespace os {
using sim::Fail;
namespace {
sim::Machine& M() { return sim::Machine::Current(); }


// The set a handle names and the member a record names within it: the
// checks every per-device operation makes first. Sets error and gives -1
// when either is wrong.
struct Member {
  std::shared_ptr<sim::DeviceInfoSet> set;
  long index = -1;  // member index in the set
  int device = -1;
};

Member FindMember(sim::Machine& m, HDEVINFO handle, const SP_DEVINFO_DATA* data, DWORD& error) {
  Member member;
  member.set = m.kernel.FindAs<sim::DeviceInfoSet>(handle);
  if (!member.set) {
    error = ERROR_INVALID_HANDLE;
    return member;
  }
  if (data == nullptr) {
    error = ERROR_INVALID_PARAMETER;
    return member;
  }
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    error = ERROR_INVALID_USER_BUFFER;
    return member;
  }
  // The record's Reserved field names the member it was filled in for.
  const auto& members = member.set->members;
  const long index = static_cast<long>(data->Reserved) - 1;
  if (index < 0 || index >= static_cast<long>(members.size())) {
    error = ERROR_INVALID_PARAMETER;
    return member;
  }
  member.index = index;
  member.device = members[static_cast<std::size_t>(index)];
  error = ERROR_SUCCESS;
  return member;
}
}  // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, LPCWSTR Enumerator, HWND, DWORD Flags) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("SetupDiGetClassDevsW")) return Fail(*fault), INVALID_HANDLE_VALUE;
  const bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
  // The model has no enumerators; a class is needed unless every class is asked for.
  if (Enumerator != nullptr || (!allClasses && ClassGuid == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  }
  auto set = std::make_shared<sim::DeviceInfoSet>();
  const bool biometric = allClasses || *ClassGuid == sim::kBiometricClass;
  for (std::size_t i = 0; biometric && i < m.devices.nodes.size(); ++i) {
    if ((Flags & DIGCF_PRESENT) && !m.devices.nodes[i].device.present) continue;
    set->members.push_back(static_cast<int>(i));
  }
  ++m.devices.openLists;
  sim::LastError() = ERROR_SUCCESS;
  return m.kernel.Insert(set);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  auto set = m.kernel.FindAs<sim::DeviceInfoSet>(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  if (DeviceInfoData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (auto fault = m.kernel.TakeFault("SetupDiEnumDeviceInfo", static_cast<long>(MemberIndex))) return Fail(*fault);
  if (MemberIndex >= set->members.size()) return Fail(ERROR_NO_MORE_ITEMS);
  DeviceInfoData->ClassGuid = sim::kBiometricClass;
  DeviceInfoData->DevInst = sim::DeviceModel::DevInstOf(set->members[MemberIndex]);
  DeviceInfoData->Reserved = static_cast<ULONG_PTR>(MemberIndex) + 1;
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  DWORD error;
  Member member = FindMember(m, DeviceInfoSet, DeviceInfoData, error);
  if (error != ERROR_SUCCESS) return Fail(error);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  if (Property >= SPDRP_MAXIMUM_PROPERTY) return Fail(ERROR_INVALID_REG_PROPERTY);
  if (auto fault = m.kernel.TakeFault("SetupDiGetDeviceRegistryPropertyW", member.index)) return Fail(*fault);
  const auto& properties = m.devices.nodes[static_cast<std::size_t>(member.device)].properties;
  auto it = properties.find(Property);
  if (it == properties.end()) return Fail(ERROR_INVALID_DATA);
  const sim::DeviceProperty& property = it->second;
  const auto size = static_cast<DWORD>(property.bytes.size());
  if (PropertyRegDataType) *PropertyRegDataType = property.type;
  if (RequiredSize) *RequiredSize = size;
  if (size > PropertyBufferSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (size > 0) std::memcpy(PropertyBuffer, property.bytes.data(), size);
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  sim::Machine& m = M();
  auto lock = m.kernel.LockForRelease();
  if (!m.kernel.FindAs<sim::DeviceInfoSet>(DeviceInfoSet)) return Fail(ERROR_INVALID_HANDLE);
  m.kernel.Close(DeviceInfoSet);
  --m.devices.openLists;
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PWSTR DeviceInstanceId,
                                 DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  DWORD error;
  Member member = FindMember(m, DeviceInfoSet, DeviceInfoData, error);
  if (error != ERROR_SUCCESS) return Fail(error);
  if (DeviceInstanceId == nullptr && DeviceInstanceIdSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  if (auto fault = m.kernel.TakeFault("SetupDiGetDeviceInstanceIdW", member.index)) return Fail(*fault);
  const std::wstring id = sim::DeviceModel::InstanceId(member.device);
  // Sizes count characters, the terminator included.
  const auto needed = static_cast<DWORD>(id.size() + 1);
  if (RequiredSize) *RequiredSize = needed;
  if (needed > DeviceInstanceIdSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  id.copy(DeviceInstanceId, id.size());
  DeviceInstanceId[id.size()] = L'\0';
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}

CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  if (pulStatus == nullptr || pulProblemNumber == nullptr) return CR_INVALID_POINTER;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  const int device = sim::DeviceModel::DeviceOf(dnDevInst);
  if (auto fault = m.kernel.TakeFault("CM_Get_DevNode_Status", device)) return *fault;
  if (!m.devices.Exists(device)) return CR_INVALID_DEVNODE;
  const sim::DeviceNode& node = m.devices.nodes[static_cast<std::size_t>(device)];
  if (!node.device.present) return CR_NO_SUCH_DEVNODE;
  const ULONG problem = m.devices.ProblemOf(node);
  *pulStatus = problem != 0 ? DN_HAS_PROBLEM : DN_DRIVER_LOADED | DN_STARTED;
  *pulProblemNumber = problem;
  return CR_SUCCESS;
}

BOOL SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  DWORD error;
  Member member = FindMember(m, DeviceInfoSet, DeviceInfoData, error);
  if (error != ERROR_SUCCESS) return Fail(error);
  if (auto fault = m.kernel.TakeFault("SetupDiSetClassInstallParamsW", member.index)) return Fail(*fault);
  // No parameters clears what was attached.
  if (ClassInstallParams == nullptr) {
    if (ClassInstallParamsSize != 0) return Fail(ERROR_INVALID_PARAMETER);
    member.set->installParams.erase(member.device);
    return TRUE;
  }
  if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) return Fail(ERROR_INVALID_USER_BUFFER);
  // The model's class installer only takes property-change requests.
  if (ClassInstallParams->InstallFunction != DIF_PROPERTYCHANGE ||
      ClassInstallParamsSize != sizeof(SP_PROPCHANGE_PARAMS))
    return Fail(ERROR_INVALID_PARAMETER);
  SP_PROPCHANGE_PARAMS params;
  std::memcpy(&params, ClassInstallParams, sizeof params);
  if (params.StateChange < DICS_ENABLE || params.StateChange > DICS_STOP ||
      (params.Scope != DICS_FLAG_GLOBAL && params.Scope != DICS_FLAG_CONFIGSPECIFIC))
    return Fail(ERROR_INVALID_FLAGS);
  member.set->installParams[member.device] = params;
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}

BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  DWORD error;
  Member member = FindMember(m, DeviceInfoSet, DeviceInfoData, error);
  if (error != ERROR_SUCCESS) return Fail(error);
  if (InstallFunction != DIF_PROPERTYCHANGE) return Fail(ERROR_INVALID_PARAMETER);
  // The request stays attached after the call, as on Windows.
  auto it = member.set->installParams.find(member.device);
  if (it == member.set->installParams.end()) return Fail(ERROR_NO_CLASSINSTALL_PARAMS);
  const DWORD stateChange = it->second.StateChange;
  if (stateChange != DICS_DISABLE && stateChange != DICS_ENABLE) return Fail(ERROR_INVALID_PARAMETER);
  std::optional<DWORD> refusal = m.kernel.TakeFault("SetupDiCallClassInstaller", member.index);
  // A device that left since the list was built has no device node to change.
  if (!refusal && !m.devices.nodes[static_cast<std::size_t>(member.device)].device.present)
    refusal = ERROR_NO_SUCH_DEVINST;
  if (refusal) {
    m.devices.Refuse(member.device, stateChange, *refusal);
    return Fail(*refusal);
  }
  const std::uint64_t installerTime = m.devices.installerTimeMs;
  if (installerTime != 0) {
    const std::uint64_t doneAt = installerTime == sim::kNever ? sim::kNever : m.kernel.Now() + installerTime;
    m.kernel.Block(lock, [] { return false; }, doneAt);
  }
  m.devices.ChangeState(member.device, stateChange);
  m.kernel.Changed();
  sim::LastError() = ERROR_SUCCESS;
  return TRUE;
}

HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD HwProfile,
                          DWORD KeyType, REGSAM samDesired) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  auto invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
  DWORD error;
  Member member = FindMember(m, DeviceInfoSet, DeviceInfoData, error);
  if (error != ERROR_SUCCESS) return Fail(error), invalid;
  if ((Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) || (KeyType != DIREG_DEV && KeyType != DIREG_DRV))
    return Fail(ERROR_INVALID_FLAGS), invalid;
  if (auto fault = m.kernel.TakeFault("SetupDiOpenDevRegKey", member.index)) return Fail(*fault), invalid;
  // The model keeps global hardware keys only: no software keys, no profiles.
  std::shared_ptr<sim::RegKeyNode> node;
  if (KeyType == DIREG_DEV && Scope == DICS_FLAG_GLOBAL && HwProfile == 0)
    node = sim::RegistryModel::Find(m.registry.machineRoot, m.devices.HardwareKeyPath(member.device));
  if (!node) return Fail(ERROR_KEY_DOES_NOT_EXIST), invalid;
  sim::LastError() = ERROR_SUCCESS;
  return reinterpret_cast<HKEY>(m.kernel.Insert(std::make_shared<sim::RegKeyHandle>(node, samDesired)));
}
}  // namespace os
