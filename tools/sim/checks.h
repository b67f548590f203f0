// What a run is checked against: the scenario's expectations, and the
// promises the service keeps whatever happens and whenever.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// The service's promises, checked on a finished run.
std::vector<Violation> CheckPromises(const Scenario& scenario, const RunResult& run);

// How long the SCM waits for a control handler to return.
constexpr std::uint64_t kHandlerLimitMs = 30000;

}  // namespace scenario
