// One run of a scenario in a fresh process, as every service start on
// Windows is (the service's globals as at process start), checked there; the
// parent gets what the checks found and what it needs to go on.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tools/sim/checks.h"
#include "tools/sim/run_result.h"
#include "tools/sim/scenario.h"

namespace scenario {

struct CheckedRun {
  // Broken promises, then the scenario's own expectations that failed (only
  // those timed before the injected event, when there is one), then a run
  // that did not finish.
  std::vector<Violation> violations;
  // Every distinct machine time at which the machine's journal showed anything.
  std::vector<std::uint64_t> instants;
  // Each device's SecureFingerprint at the end of the run; none when missing.
  std::vector<std::pair<std::string, std::optional<std::uint32_t>>> secureFingerprints;
  // The longest a stop or shutdown handler ran; none when none was called.
  std::optional<std::uint64_t> longestStopHandlerMs;
};

CheckedRun RunCheckedInFreshProcess(const Scenario& scenario, const std::optional<TimedAction>& injected);

}  // namespace scenario
