// The firmware's environment variables, by name and vendor GUID.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/kernel.h"

namespace sim {

// One read of a firmware variable, as the reader saw it.
struct FirmwareRead : Stamp {
  std::wstring name;
  std::vector<BYTE> bytes;      // what it read; empty when the read failed
  DWORD error = ERROR_SUCCESS;  // why it failed
  bool injected = false;        // the failure was a fault the machine was told to make
};

class FirmwareModel {
 public:
  explicit FirmwareModel(Kernel& kernel) : reads(kernel.logWindow), kernel_(kernel) {}

  // An empty content removes the variable, as writing one does on Windows.
  void SetVariable(const std::wstring& name, const std::wstring& vendorGuid, std::vector<BYTE> bytes);
  // A machine with legacy BIOS firmware instead of UEFI (or Windows installed
  // in its BIOS mode): every variable read fails with ERROR_INVALID_FUNCTION.
  void SetUefi(bool present);
  // Every variable read, in order.
  std::vector<FirmwareRead> Reads() const;

  // Platform side, lock held.
  using VariableKey = std::pair<std::wstring, std::wstring>;  // name, vendor GUID in upper case
  static VariableKey KeyOf(const std::wstring& name, const std::wstring& vendorGuid);
  std::map<VariableKey, std::vector<BYTE>> variables;
  bool uefi = true;
  BoundedLog<FirmwareRead> reads;
  // Records a read and gives what GetFirmwareEnvironmentVariableW returns.
  DWORD Read(FirmwareRead read);

 private:
  Kernel& kernel_;
};

}  // namespace sim
