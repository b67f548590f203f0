// The SCM's one time limit, which the simulated SCM keeps and the scenario
// checks judge the service by: "a call to ControlService will block for 30
// seconds if any service is busy handling a control code" (ControlService),
// and a handler is given as long to return. A header of its own, so that
// what knows no machine (the checks) need not include the machine.
#pragma once

#include <cstdint>

namespace sim {
inline constexpr std::uint64_t kScmRequestTimeoutMs = 30000;
}  // namespace sim
