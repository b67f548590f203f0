#include "platform/firmware.h"

#include <cstring>
#include <cwchar>
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

std::vector<FirmwareRead> FirmwareModel::Reads() const {
  auto lock = kernel_.Lock();
  return reads.Entries();
}

DWORD FirmwareModel::Read(FirmwareRead read) {
  read.seq = kernel_.NextSeq();
  read.timeMs = kernel_.Now();
  std::wstring text = L"GetFirmwareEnvironmentVariableW " + read.name;
  if (read.error == ERROR_SUCCESS) {
    wchar_t byte[4];
    for (BYTE b : read.bytes) {
      std::swprintf(byte, 4, L" %02x", b);
      text += byte;
    }
  } else {
    text += (read.injected ? L" fault " : L" error ") + std::to_wstring(read.error);
  }
  kernel_.Record(JournalKind::kFirmware, text);
  const DWORD size = static_cast<DWORD>(read.bytes.size());
  sim::LastError() = read.error;
  reads.push_back(std::move(read));
  return size;
}

void FirmwareModel::SetUefi(bool present) {
  auto lock = kernel_.Lock();
  uefi = present;
}
}  // namespace sim

namespace os {
DWORD GetFirmwareEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpGuid, PVOID pBuffer, DWORD nSize) {
  sim::Machine& m = sim::Machine::Current();
  auto lock = m.kernel.Lock();
  sim::FirmwareRead read;
  read.name = lpName ? lpName : L"";
  auto failed = [&](DWORD error, bool injected = false) {
    read.error = error;
    read.injected = injected;
    return m.firmware.Read(std::move(read));
  };
  if (auto fault = m.kernel.TakeFault("GetFirmwareEnvironmentVariableW")) return failed(*fault, true);
  if (!m.firmware.uefi) return failed(ERROR_INVALID_FUNCTION);
  if (lpName == nullptr || lpGuid == nullptr) return failed(ERROR_INVALID_PARAMETER);
  if (!m.process.systemEnvironmentEnabled) return failed(ERROR_PRIVILEGE_NOT_HELD);
  auto it = m.firmware.variables.find(sim::FirmwareModel::KeyOf(lpName, lpGuid));
  if (it == m.firmware.variables.end()) return failed(ERROR_ENVVAR_NOT_FOUND);
  const std::vector<BYTE>& bytes = it->second;
  if (pBuffer == nullptr || bytes.size() > nSize) return failed(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(pBuffer, bytes.data(), bytes.size());
  read.bytes = bytes;
  return m.firmware.Read(std::move(read));
}
}  // namespace os
