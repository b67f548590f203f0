// Firmware variables, the process token and its privileges, and the programs
// the process runs.
#pragma once

#include "platform/sim/kernel.h"

namespace sim {

class FirmwareModel {
 public:
  explicit FirmwareModel(Kernel& kernel) : kernel_(kernel) {}

 private:
  [[maybe_unused]] Kernel& kernel_;
};

}  // namespace sim
