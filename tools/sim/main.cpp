// zefo_sim: runs the service on a simulated machine through a scenario file
// and prints what the machine shows, in order; checks what the scenario
// expects and what the service promises; explores every unlucky instant; or
// soaks a laptop for many hours of random events.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tools/sim/checks.h"
#include "tools/sim/explore.h"
#include "tools/sim/machine_run.h"
#include "tools/sim/report.h"
#include "tools/sim/scenario.h"
#include "tools/sim/soak.h"
#include "tools/sim/timeline_svg.h"

namespace {

constexpr int kUsageOrScenarioError = 2;

const char kUsage[] =
    "usage: zefo_sim [--events] [--trace] [--journal] [--json] [--svg FILE] [--inject EVENT@MS]\n"
    "                [--shutdown-timeout DURATION] SCENARIO\n"
    "       zefo_sim --explore stop|shutdown|kill|reboot|driver-attach|lid [--seeds N]\n"
    "                [--shutdown-timeout DURATION] SCENARIO\n"
    "       zefo_sim --soak HOURS [--seed S] [--shutdown-timeout DURATION] [SCENARIO]\n"
    "EVENT is stop, shutdown, kill, reboot, driver-attach or lid (opened); MS is machine time in ms.\n"
    "--shutdown-timeout replaces the scenario's (e.g. 5s; 20s when neither gives one).\n"
    "A soak without SCENARIO runs on a laptop of its own.\n"
    "Exit status: 0 every expectation held and no promise broke (exploring, soaking: no promise broken), 1 otherwise,\n"
    "2 bad usage or scenario.\n";

struct CommandLine {
  scenario::TimelineOptions timeline;
  scenario::RunOptions run;
  std::string svgFile;
  std::string explore;
  double soakHours = 0;  // 0: no soak
  std::optional<std::uint64_t> seed;  // --soak's; 1 when not given
  int seeds = 1;                      // --explore's tie-break seeds
  std::optional<std::uint64_t> shutdownTimeoutMs;
  std::string shutdownTimeoutText;
  std::string path;
};

[[noreturn]] void UsageError(const std::string& what) {
  std::fprintf(stderr, "zefo_sim: %s\n%s", what.c_str(), kUsage);
  std::exit(kUsageOrScenarioError);
}

CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine command;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) UsageError(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--events") {
      command.timeline.events = true;
    } else if (arg == "--trace") {
      command.timeline.trace = command.run.traceSession = true;
    } else if (arg == "--journal") {
      command.run.machineJournal = true;
    } else if (arg == "--json") {
      command.timeline.json = true;
    } else if (arg == "--svg") {
      command.svgFile = value();
    } else if (arg == "--inject") {
      const std::string text = value();
      const auto injected = scenario::ParseInjection(text);
      if (!injected) UsageError("bad injection '" + text + "'");
      command.run.injected.push_back(*injected);
    } else if (arg == "--explore") {
      command.explore = value();
      if (!scenario::InjectableEvent(command.explore)) UsageError("cannot explore '" + command.explore + "'");
    } else if (arg == "--soak") {
      const std::string text = value();
      char* end = nullptr;
      command.soakHours = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(command.soakHours > 0 && command.soakHours <= 1e6))
        UsageError("bad soak hours '" + text + "' (a number of hours, e.g. 24 or 0.5)");
    } else if (arg == "--seeds") {
      const std::string text = value();
      if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(text) < 1)
        UsageError("bad seeds '" + text + "' (how many, 1 to 9999)");
      command.seeds = std::stoi(text);
    } else if (arg == "--shutdown-timeout") {
      command.shutdownTimeoutText = value();
      command.shutdownTimeoutMs = scenario::ParseDuration(command.shutdownTimeoutText);
      if (!command.shutdownTimeoutMs)
        UsageError("bad shutdown timeout '" + command.shutdownTimeoutText + "' (e.g. 5s, 20s)");
    } else if (arg == "--seed") {
      const std::string text = value();
      if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        UsageError("bad seed '" + text + "' (a whole number)");
      command.seed = std::stoull(text);
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (!arg.empty() && arg[0] == '-') {
      UsageError("unknown option " + arg);
    } else if (command.path.empty()) {
      command.path = arg;
    } else {
      UsageError("one scenario at a time");
    }
  }
  if (command.path.empty() && command.soakHours == 0) UsageError("no scenario given");
  if (command.seed && command.soakHours == 0) UsageError("--seed goes with --soak");
  if (!command.explore.empty() && command.soakHours > 0) UsageError("--explore or --soak, not both");
  if (!command.svgFile.empty() && (!command.explore.empty() || command.soakHours > 0))
    UsageError("--svg goes with a single run, not with --explore or --soak");
  if (command.seeds > 1 && command.explore.empty()) UsageError("--seeds goes with --explore");
  return command;
}

// svg: open when the command asked for a picture.
int RunOnce(const scenario::Scenario& scenario, const CommandLine& command, std::ofstream& svg) {
  const scenario::RunResult run = scenario::RunScenario(scenario, command.run);
  scenario::PrintTimeline(stdout, run, command.timeline);
  const auto failures = scenario::CheckExpectations(scenario, run);
  const auto promises = scenario::CheckPromises(scenario, run);
  if (svg.is_open()) {
    svg << scenario::TimelineSvg(scenario, run, failures, promises.broken);
    svg.close();
    if (!svg) {
      std::fprintf(stderr, "zefo_sim: cannot write %s\n", command.svgFile.c_str());
      return 1;
    }
  }
  std::FILE* report = command.timeline.json ? stderr : stdout;
  scenario::PrintFailures(report, command.path, failures);
  scenario::PrintViolations(report, promises.broken);
  scenario::PrintMachineRefusals(report, promises.machineRefusals);
  if (promises.longestStopHandlerMs)
    std::fprintf(report, "%s\n", scenario::StopHandlerMeasurement(*promises.longestStopHandlerMs).c_str());
  std::fprintf(report, "%s: %s\n", command.path.c_str(),
               scenario::Verdict(scenario.expectations.size(), failures.size(), promises.broken.size()).c_str());
  return failures.empty() && promises.broken.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine command = ParseCommandLine(argc, argv);
  scenario::Scenario loaded;
  try {
    loaded = command.path.empty() ? scenario::SoakLaptop() : scenario::LoadScenario(command.path);
  } catch (const scenario::ScenarioError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return kUsageOrScenarioError;
  }
  // A replay command names what shaped the scenario.
  std::string replayed = command.path;
  if (command.shutdownTimeoutMs) {
    loaded.shutdownTimeoutMs = *command.shutdownTimeoutMs;
    replayed = "--shutdown-timeout " + command.shutdownTimeoutText + (replayed.empty() ? "" : " " + replayed);
  }
  if (command.soakHours > 0) {
    const auto soak = scenario::RunSoak(loaded, replayed, command.soakHours, command.seed.value_or(1));
    scenario::PrintSoak(stdout, soak, command.soakHours, command.seed.value_or(1));
    return soak.violatingBoots == 0 ? 0 : 1;
  }
  if (!command.explore.empty()) {
    const auto exploration = scenario::Explore(loaded, replayed, command.explore, command.seeds);
    scenario::PrintExploration(stdout, exploration, replayed, command.explore);
    return exploration.violatingRuns == 0 ? 0 : 1;
  }
  // Opened before the run: a path that cannot be written stops the command
  // before anything runs.
  std::ofstream svg;
  if (!command.svgFile.empty()) {
    svg.open(command.svgFile);
    if (!svg) {
      std::fprintf(stderr, "zefo_sim: cannot write %s\n", command.svgFile.c_str());
      return kUsageOrScenarioError;
    }
  }
  return RunOnce(loaded, command, svg);
}
