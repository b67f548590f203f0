#include "tools/sim/explore.h"

#include <cstdlib>
#include <map>
#include <vector>

#include "tools/sim/checked_run.h"

namespace scenario {
namespace {
constexpr const char* kSeedVariable = "ZEFO_SIM_SEED";
}  // namespace

std::optional<Action> InjectableEvent(const std::string& name) {
  Action action;
  if (name == "stop") {
    action.kind = Action::Kind::kStop;
  } else if (name == "shutdown") {
    action.kind = Action::Kind::kShutdown;
  } else if (name == "kill") {
    action.kind = Action::Kind::kKill;
  } else if (name == "reboot") {
    action.kind = Action::Kind::kReboot;
  } else if (name == "driver-attach") {
    action.kind = Action::Kind::kDriverAttach;
  } else if (name == "lid") {
    action.kind = Action::Kind::kLid;
    action.number = 1;
  } else {
    return std::nullopt;
  }
  return action;
}

std::optional<TimedAction> ParseInjection(const std::string& text) {
  const std::size_t at = text.find('@');
  if (at == std::string::npos) return std::nullopt;
  const auto action = InjectableEvent(text.substr(0, at));
  const std::string ms = text.substr(at + 1);
  if (!action || ms.empty() || ms.find_first_not_of("0123456789") != std::string::npos || ms.size() > 15 ||
      std::stoull(ms) > kLongestRunMs)
    return std::nullopt;
  return TimedAction{std::stoull(ms), *action};
}

Exploration Explore(const Scenario& scenario, const std::string& path, const std::string& event, int seeds) {
  Exploration exploration;
  // The machine's scheduler reads its tie-break seed from the environment,
  // which each fresh run process inherits; a replay names it the same way.
  std::string replayPrefix;
  auto useSeed = [&](int seed) {
    const std::string text = std::to_string(seed);
    setenv(kSeedVariable, text.c_str(), 1);
    replayPrefix = seeds > 1 ? std::string(kSeedVariable) + "=" + text + " " : "";
  };
  auto collect = [&](const CheckedRun& run, const std::string& replay) {
    for (const Violation& v : run.violations) exploration.findings.push_back({v, replayPrefix + replay});
    exploration.violatingRuns += !run.violations.empty();
    ++exploration.runs;
    if (run.longestStopHandlerMs && run.longestStopHandlerMs > exploration.longestStopHandlerMs) {
      exploration.longestStopHandlerMs = run.longestStopHandlerMs;
      exploration.longestStopHandlerReplay = replayPrefix + replay;
    }
  };
  useSeed(0);
  const CheckedRun first = RunCheckedInFreshProcess(scenario, std::nullopt);
  collect(first, "zefo_sim " + path);
  exploration.instants = first.instants.size();
  for (std::uint64_t instant : first.instants)
    for (std::uint64_t point : {instant, instant + 1})
      if (exploration.points.empty() || exploration.points.back() < point) exploration.points.push_back(point);

  const Action action = *InjectableEvent(event);
  for (int seed = 0; seed < seeds; ++seed) {
    useSeed(seed);
    if (seed > 0) collect(RunCheckedInFreshProcess(scenario, std::nullopt), "zefo_sim " + path);
    for (std::uint64_t point : exploration.points)
      collect(RunCheckedInFreshProcess(scenario, TimedAction{point, action}),
              "zefo_sim --inject " + event + "@" + std::to_string(point) + " " + path);
  }
  return exploration;
}

void PrintExploration(std::FILE* out, const Exploration& exploration, const std::string& path,
                      const std::string& event) {
  std::fprintf(out, "explore %s over %s: %d runs, %zu instants (%zu injection points), %d violating runs\n",
               event.c_str(), path.c_str(), exploration.runs, exploration.instants, exploration.points.size(),
               exploration.violatingRuns);
  if (exploration.longestStopHandlerMs)
    std::fprintf(out, "  %s\n    replay: %s\n", StopHandlerMeasurement(*exploration.longestStopHandlerMs).c_str(),
                 exploration.longestStopHandlerReplay.c_str());
  PrintFindings(out, exploration.findings);
}

}  // namespace scenario
