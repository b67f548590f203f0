// Runs a scenario on the simulated machine: the one place the simulator
// speaks to sim::Machine. The service runs as the SCM starts it, through
// wmain, in what must be a fresh process (its globals as at process start).
#pragma once

#include <vector>

#include "tools/sim/run_result.h"
#include "tools/sim/scenario.h"

namespace scenario {

struct RunOptions {
  bool traceSession = false;  // a trace session enables the provider (level 4, flag 1) once it registers
  // Acted on after the scenario's own actions of the same instant.
  std::vector<TimedAction> injected;
};

RunResult RunScenario(const Scenario& scenario, const RunOptions& options = {});

}  // namespace scenario
