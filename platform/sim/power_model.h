// Power-setting notifications: the registrations a service makes, and the
// setting changes the machine sends to the registered service's handler.
#pragma once

#include <optional>
#include <vector>

#include "platform/sim/kernel.h"
#include "platform/sim/scm_model.h"

namespace sim {

struct PowerSettingRegistration : Stamp {
  GUID setting{};
  HANDLE recipient = nullptr;
  DWORD flags = 0;
  bool released = false;
  Stamp releasedAt;
};

class PowerNotifyHandle : public Object {
 public:
  explicit PowerNotifyHandle(std::size_t registrationIndex) : index(registrationIndex) {}
  const char* Kind() const override { return "power notification"; }
  std::size_t index;
};

// The POWERBROADCAST_SETTING block the platform hands the handler: the
// setting, DataLength, then the data bytes.
std::vector<BYTE> PowerSettingBlock(const GUID& setting, const std::vector<BYTE>& data);
// The same with one DWORD of data, as the lid switch and display state send.
std::vector<BYTE> PowerSettingBlock(const GUID& setting, DWORD value);

class PowerModel {
 public:
  PowerModel(Kernel& kernel, ScmModel& scm) : kernel_(kernel), scm_(scm) {}

  // Every registration ever made, in order, with its release.
  std::vector<PowerSettingRegistration> Registrations() const;
  // The setting changed to value: a service that holds a registration for it
  // and whose last report accepts power events gets SERVICE_CONTROL_POWEREVENT
  // / PBT_POWERSETTINGCHANGE with the block, in its turn. The request on its
  // way, or null when no such service is there.
  std::shared_ptr<const ScmRequest> NotifySettingChange(const GUID& setting, DWORD value);
  // For tests: the same, awaited; the handler's result.
  std::optional<DWORD> SettingChanged(const GUID& setting, DWORD value);

  // Platform side, lock held.
  std::vector<PowerSettingRegistration> registrations;

 private:
  Kernel& kernel_;
  ScmModel& scm_;
};

}  // namespace sim
