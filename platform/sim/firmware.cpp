#include "platform/firmware.h"

#include <cstring>
#include <cwctype>

#include "platform/sim/machine.h"

namespace sim {
FirmwareModel::VariableKey FirmwareModel::KeyOf(const std::wstring& name, const std::wstring& vendorGuid) {
  std::wstring guid = vendorGuid;
  for (wchar_t& c : guid) c = static_cast<wchar_t>(std::towupper(c));
  return {name, guid};
}

void FirmwareModel::SetVariable(const std::wstring& name, const std::wstring& vendorGuid, std::vector<BYTE> bytes) {
  auto lock = kernel_.Lock();
  if (bytes.empty())
    variables.erase(KeyOf(name, vendorGuid));
  else
    variables[KeyOf(name, vendorGuid)] = std::move(bytes);
}

void FirmwareModel::SetUefi(bool present) {
  auto lock = kernel_.Lock();
  uefi = present;
}
}  // namespace sim

namespace os {
using sim::Fail;

DWORD GetFirmwareEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpGuid, PVOID pBuffer, DWORD nSize) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  if (auto fault = m.kernel.TakeFault("GetFirmwareEnvironmentVariableW")) return Fail(*fault);
  if (!m.firmware.uefi) return Fail(ERROR_INVALID_FUNCTION);
  if (lpName == nullptr || lpGuid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!m.process.systemEnvironmentEnabled) return Fail(ERROR_PRIVILEGE_NOT_HELD);
  auto it = m.firmware.variables.find(sim::FirmwareModel::KeyOf(lpName, lpGuid));
  if (it == m.firmware.variables.end()) return Fail(ERROR_ENVVAR_NOT_FOUND);
  const std::vector<BYTE>& bytes = it->second;
  if (pBuffer == nullptr || bytes.size() > nSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(pBuffer, bytes.data(), bytes.size());
  sim::LastError() = ERROR_SUCCESS;
  return static_cast<DWORD>(bytes.size());
}
}  // namespace os
