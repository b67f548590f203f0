// Runs a scenario on the simulated machine: the one place the simulator
// speaks to sim::Machine. The service runs as the SCM starts it, through
// wmain; call it in a fresh process, as each service start on Windows is
// (the service's globals as at process start), and once per process.
#pragma once

#include <vector>

#include "tools/sim/run_result.h"
#include "tools/sim/scenario.h"

namespace scenario {

struct RunOptions {
  bool traceSession = false;  // a trace session enables the provider (level 4, flag 1) once it registers
  // Acted on after the scenario's own actions of the same instant.
  std::vector<TimedAction> injected;
  // The timeline also holds the rest of the machine's journal.
  bool machineJournal = false;
};

RunResult RunScenario(const Scenario& scenario, const RunOptions& options = {});

}  // namespace scenario
