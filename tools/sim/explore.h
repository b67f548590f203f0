// Exploration: the scenario once, then once more for every machine instant at
// which anything happened (and a point just after it), with one event
// injected there; the service's promises checked after every run.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "tools/sim/scenario.h"

namespace scenario {

// The event an exploration injects: stop, shutdown, driver-attach or lid (opened).
std::optional<Action> InjectableEvent(const std::string& name);
// "stop@31200": that event at that machine time in ms.
std::optional<TimedAction> ParseInjection(const std::string& text);

// Prints runs, instants and the violations grouped by promise, each with the
// command that replays its run. Returns the number of violating runs.
int Explore(const Scenario& scenario, const std::string& path, const std::string& event, std::FILE* out);

}  // namespace scenario
