// The process the program runs in: its module path, how it was started, and
// what it printed on the console.
#pragma once

#include <string>

#include "platform/sim/kernel.h"

namespace sim {

class ProcessModel {
 public:
  explicit ProcessModel(Kernel& kernel) : kernel_(kernel) {}

  std::wstring Console() const;

  // Platform side, lock held.
  std::wstring modulePath = L"C:\\Program Files\\ZEFO\\ZefoFpService.exe";
  bool startedBySCM = false;
  std::wstring console;

 private:
  Kernel& kernel_;
};

}  // namespace sim
