// The machine's device tree: the members of the biometric setup class, their
// properties, device-node state and hardware registry keys, and the class
// installer that disables and enables them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/sim/kernel.h"

namespace sim {

struct SimDevice {
  std::wstring description;               // SPDRP_DEVICEDESC, REG_SZ
  std::vector<std::wstring> hardwareIds;  // SPDRP_HARDWAREID, REG_MULTI_SZ
  ULONG problem = 0;                      // nonzero: DN_HAS_PROBLEM set, this problem number
  // The problem's cause outlives a restart: an enable brings the device back
  // with the same problem. False: the restart an enable makes clears it.
  bool problemPersists = false;
  bool present = true;                    // only present members are listed (DIGCF_PRESENT)
};

// A state change the class installer carried out, or one the machine
// refused (an injected fault, a device that has gone).
struct DeviceAction : Stamp {
  int device;         // index in the order devices were added
  DWORD stateChange;  // DICS_DISABLE or DICS_ENABLE
  DWORD error = ERROR_SUCCESS;  // refused: the error SetupDiCallClassInstaller failed with
};

struct DeviceProperty {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

struct DeviceNode {
  SimDevice device;
  std::map<DWORD, DeviceProperty> properties;
  bool disabled = false;
};

// What an HDEVINFO names: the devices listed when it was built, in order, and
// the class-install parameters attached to each member.
class DeviceInfoSet : public Object {
 public:
  const char* Kind() const override { return "device list"; }
  std::vector<int> members;  // device indexes
  std::map<int, SP_PROPCHANGE_PARAMS> installParams;
};

class DeviceModel {
 public:
  explicit DeviceModel(Kernel& kernel) : actions(kernel.logWindow), refusals(kernel.logWindow), kernel_(kernel) {}

  // Biometric class; returns its index (list order).
  int AddDevice(SimDevice device);
  // The device fails with problem (0: no problem, its cause gone); persists:
  // its cause stays until the next SetProblem, so an enable does not clear it.
  void SetProblem(int device, ULONG problem, bool persists = false);
  void SetPresent(int device, bool present);
  // A new boot starts every device afresh: a problem whose cause does not
  // persist is gone; what the class installer disabled stays disabled.
  void Boot();
  // Replaces a property's raw bytes and type (e.g. a description without
  // terminator, odd length).
  void SetRawProperty(int device, DWORD property, DWORD type, std::vector<BYTE> bytes);
  // The device instance ID SetupDiGetDeviceInstanceIdW gives, e.g. "ROOT\\BIOMETRIC\\0001".
  static std::wstring InstanceId(int device);
  // Registry path (under HKLM, as RegistryModel takes it) of the device's
  // hardware key, what SetupDiOpenDevRegKey(DIREG_DEV) opens; it exists only
  // once something is created there with machine.registry.
  std::wstring HardwareKeyPath(int device) const;
  std::vector<DeviceAction> Actions() const;
  // The state changes the machine refused, in order.
  std::vector<DeviceAction> Refusals() const;
  int OpenDeviceLists() const;  // lists built and not yet destroyed
  // Machine time each SetupDiCallClassInstaller call takes before it carries
  // out the change; kNever: the class installer hangs.
  void SetInstallerTime(std::uint64_t ms);
  // The device disabled or enabled by another process (a person in Device
  // Manager, an earlier boot's run): the same change, not among Actions().
  void SetDisabled(int device, bool disabled);

  // Platform side, lock held.
  static DEVINST DevInstOf(int device) { return static_cast<DEVINST>(device + 1); }
  static int DeviceOf(DEVINST devInst) { return static_cast<int>(devInst) - 1; }
  bool Exists(int device) const { return device >= 0 && device < static_cast<int>(nodes.size()); }
  ULONG ProblemOf(const DeviceNode& node) const { return node.disabled ? CM_PROB_DISABLED : node.device.problem; }
  // Carries out a DIF_PROPERTYCHANGE state change and records it.
  void ChangeState(int device, DWORD stateChange);
  // Records a state change the machine refused with this error.
  void Refuse(int device, DWORD stateChange, DWORD error);

  std::vector<DeviceNode> nodes;
  BoundedLog<DeviceAction> actions;
  BoundedLog<DeviceAction> refusals;
  int openLists = 0;
  std::uint64_t installerTimeMs = 0;

 private:
  // The node's state after a change: enabling starts the device afresh.
  void Apply(int device, DWORD stateChange);

  Kernel& kernel_;
};

}  // namespace sim
