#include "platform/power.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/sim/machine.h"

namespace sim {
std::vector<BYTE> PowerSettingBlock(const GUID& setting, const std::vector<BYTE>& data) {
  POWERBROADCAST_SETTING header{};
  header.PowerSetting = setting;
  header.DataLength = static_cast<DWORD>(data.size());
  const std::size_t dataOffset = offsetof(POWERBROADCAST_SETTING, Data);
  // Never smaller than the structure itself, as the platform lays it out.
  std::vector<BYTE> block(std::max(sizeof(POWERBROADCAST_SETTING), dataOffset + data.size()));
  std::memcpy(block.data(), &header, dataOffset);
  if (!data.empty()) std::memcpy(block.data() + dataOffset, data.data(), data.size());
  return block;
}

std::vector<BYTE> PowerSettingBlock(const GUID& setting, DWORD value) {
  std::vector<BYTE> data(sizeof value);
  std::memcpy(data.data(), &value, sizeof value);
  return PowerSettingBlock(setting, data);
}

std::vector<PowerSettingRegistration> PowerModel::Registrations() const {
  auto lock = kernel_.Lock();
  return registrations;
}

std::shared_ptr<const ScmRequest> PowerModel::NotifySettingChange(const GUID& setting, DWORD value) {
  auto lock = kernel_.Lock();
  bool registered = false;
  for (const PowerSettingRegistration& r : registrations)
    registered = registered || (!r.released && r.setting == setting && r.recipient == scm_.dispatcher.statusHandle);
  if (!registered || !scm_.Accepts(SERVICE_ACCEPT_POWEREVENT)) return nullptr;
  return scm_.SubmitNotification(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, PowerSettingBlock(setting, value));
}

std::optional<DWORD> PowerModel::SettingChanged(const GUID& setting, DWORD value) {
  return scm_.AwaitHandled(NotifySettingChange(setting, value));
}
}  // namespace sim

namespace os {
namespace {
HPOWERNOTIFY Fail(DWORD error) { return sim::Fail<HPOWERNOTIFY>(error); }
sim::Machine& M() { return sim::Machine::Current(); }

}  // namespace

HPOWERNOTIFY RegisterPowerSettingNotification(HANDLE hRecipient, LPCGUID PowerSettingGuid, DWORD Flags) {
  sim::Machine& m = M();
  auto lock = m.kernel.Lock();
  const long index = static_cast<long>(m.power.registrations.size());
  if (auto fault = m.kernel.TakeFault("RegisterPowerSettingNotification", index)) return Fail(*fault);
  // Only service recipients are modelled; a window handle has no meaning here.
  if (PowerSettingGuid == nullptr || Flags != DEVICE_NOTIFY_SERVICE_HANDLE) return Fail(ERROR_INVALID_PARAMETER);
  if (!m.kernel.FindAs<sim::ServiceStatusHandle>(hRecipient)) return Fail(ERROR_INVALID_HANDLE);
  sim::PowerSettingRegistration registration;
  registration.seq = m.kernel.NextSeq();
  registration.timeMs = m.kernel.Now();
  registration.setting = *PowerSettingGuid;
  registration.recipient = hRecipient;
  registration.flags = Flags;
  m.power.registrations.push_back(registration);
  m.kernel.Record(sim::JournalKind::kPower, L"RegisterPowerSettingNotification " + std::to_wstring(index));
  return m.kernel.Insert(std::make_shared<sim::PowerNotifyHandle>(static_cast<std::size_t>(index)));
}

BOOL UnregisterPowerSettingNotification(HPOWERNOTIFY Handle) {
  sim::Machine& m = M();
  auto lock = m.kernel.LockForRelease();
  auto notify = m.kernel.FindAs<sim::PowerNotifyHandle>(Handle);
  if (!notify) return Fail(ERROR_INVALID_HANDLE), FALSE;
  if (auto fault = m.kernel.TakeFault("UnregisterPowerSettingNotification")) return Fail(*fault), FALSE;
  sim::PowerSettingRegistration& registration = m.power.registrations[notify->index];
  registration.released = true;
  registration.releasedAt.seq = m.kernel.NextSeq();
  registration.releasedAt.timeMs = m.kernel.Now();
  m.kernel.Close(Handle);
  m.kernel.Record(sim::JournalKind::kPower, L"UnregisterPowerSettingNotification " + std::to_wstring(notify->index));
  return TRUE;
}
}  // namespace os
