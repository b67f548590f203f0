// The machine's device tree: the present members of the biometric class.
#pragma once

#include "platform/sim/kernel.h"

namespace sim {

class DeviceModel {
 public:
  explicit DeviceModel(Kernel& kernel) : kernel_(kernel) {}

 private:
  [[maybe_unused]] Kernel& kernel_;
};

}  // namespace sim
