// What a run is checked against: the scenario's expectations, and the
// promises the service keeps whatever happens and whenever.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/scm_limits.h"
#include "tools/sim/run_result.h"
#include "tools/sim/scenario.h"

namespace scenario {

struct ExpectationFailure {
  int line = 0;
  std::string expected;  // the expectation in words
  std::string happened;  // what the run showed instead, with machine times
};

// Checks every expectation, or only those that the instant `before` cannot
// change: the ones timed (at or by) before it.
std::vector<ExpectationFailure> CheckExpectations(const Scenario& scenario, const RunResult& run,
                                                  std::optional<std::uint64_t> before = std::nullopt);

struct Violation {
  std::string promise;  // which promise, in a few words
  std::string detail;   // what the run showed
};

struct PromiseCheck {
  std::vector<Violation> broken;
  // Where the machine refused what the service asked (every enable of a
  // device it disabled, say): noted, not held against the service.
  std::vector<Violation> machineRefusals;
  // The longest a stop or shutdown handler ran, in machine time; none when
  // no such handler was called.
  std::optional<std::uint64_t> longestStopHandlerMs;
};

// The service's promises, checked on a finished run.
PromiseCheck CheckPromises(const Scenario& scenario, const RunResult& run);

// How long the SCM waits for a control handler to return.
constexpr std::uint64_t kHandlerLimitMs = sim::kScmRequestTimeoutMs;
// How long a stop or shutdown handler is promised to take (a measurement:
// it breaks nothing).
constexpr std::uint64_t kStopHandlerPromiseMs = 100;

}  // namespace scenario
