// The firmware's environment variables, by name and vendor GUID.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/kernel.h"

namespace sim {

class FirmwareModel {
 public:
  explicit FirmwareModel(Kernel& kernel) : kernel_(kernel) {}

  // An empty content removes the variable, as writing one does on Windows.
  void SetVariable(const std::wstring& name, const std::wstring& vendorGuid, std::vector<BYTE> bytes);
  // A machine with legacy BIOS firmware instead of UEFI (or Windows installed
  // in its BIOS mode): every variable read fails with ERROR_INVALID_FUNCTION.
  void SetUefi(bool present);

  // Platform side, lock held.
  using VariableKey = std::pair<std::wstring, std::wstring>;  // name, vendor GUID in upper case
  static VariableKey KeyOf(const std::wstring& name, const std::wstring& vendorGuid);
  std::map<VariableKey, std::vector<BYTE>> variables;
  bool uefi = true;

 private:
  Kernel& kernel_;
};

}  // namespace sim
