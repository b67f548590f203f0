// Exploration: the scenario once, then once more for every machine instant at
// which anything happened (and a point just after it), with one event
// injected there; the service's promises checked after every run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tools/sim/report.h"
#include "tools/sim/scenario.h"

namespace scenario {

// The event an exploration injects: stop, shutdown, kill, reboot,
// driver-attach or lid (opened).
std::optional<Action> InjectableEvent(const std::string& name);
// "stop@31200": that event at that machine time in ms.
std::optional<TimedAction> ParseInjection(const std::string& text);

struct Exploration {
  int runs = 0;
  int violatingRuns = 0;
  std::size_t instants = 0;
  std::vector<std::uint64_t> points;  // the machine times the event was injected at
  std::vector<Finding> findings;
  // The longest a stop or shutdown handler ran in any run, and that run's replay.
  std::optional<std::uint64_t> longestStopHandlerMs;
  std::string longestStopHandlerReplay;
};

// Each run in a fresh process, repeated under each tie-break seed 0..seeds-1
// of the machine's scheduler; path only goes into the replay commands (with
// any options that shaped the scenario before it).
Exploration Explore(const Scenario& scenario, const std::string& path, const std::string& event, int seeds = 1);
// Runs, instants and the violations grouped by promise, each with the command
// that replays its run.
void PrintExploration(std::FILE* out, const Exploration& exploration, const std::string& path,
                      const std::string& event);

}  // namespace scenario
