#include "tools/sim/explore.h"

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <sstream>
#include <vector>

#include "tools/sim/checks.h"
#include "tools/sim/machine_run.h"

namespace scenario {
namespace {

// Runs body in a fresh process, as the service always starts in one: the
// service's globals start as at process start in every run. Gives what body
// returned, or a line saying how the process ended instead.
std::string InFreshProcess(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    close(fds[0]);
    std::string output;
    try {
      output = body();
    } catch (const std::exception& error) {
      output = std::string("run failed\t") + error.what() + "\n";
    }
    for (std::size_t done = 0; done < output.size();) {
      const ssize_t n = write(fds[1], output.data() + done, output.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) output += "run failed\tthe run's process ended by signal " + std::to_string(WTERMSIG(status)) + "\n";
  return output;
}

// One line per broken promise or expectation: "promise\tdetail".
std::string CheckedRun(const Scenario& scenario, const std::optional<TimedAction>& injected) {
  RunOptions options;
  if (injected) options.injected.push_back(*injected);
  const RunResult run = RunScenario(scenario, options);
  std::string lines;
  for (const Violation& v : CheckPromises(scenario, run)) lines += v.promise + "\t" + v.detail + "\n";
  const auto before = injected ? std::optional<std::uint64_t>(injected->atMs) : std::nullopt;
  for (const ExpectationFailure& f : CheckExpectations(scenario, run, before))
    lines += "the scenario's own expectations\tline " + std::to_string(f.line) + ": expected " + f.expected +
             "; happened: " + f.happened + "\n";
  if (!injected)
    for (std::uint64_t instant : run.instants) lines += "instant\t" + std::to_string(instant) + "\n";
  return lines;
}

struct Finding {
  std::string detail;
  std::string replay;
};

}  // namespace

std::optional<Action> InjectableEvent(const std::string& name) {
  Action action;
  if (name == "stop") {
    action.kind = Action::Kind::kStop;
  } else if (name == "shutdown") {
    action.kind = Action::Kind::kShutdown;
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
  if (!action || ms.empty() || ms.find_first_not_of("0123456789") != std::string::npos || ms.size() > 15)
    return std::nullopt;
  return TimedAction{std::stoull(ms), *action};
}

int Explore(const Scenario& scenario, const std::string& path, const std::string& event, std::FILE* out) {
  std::map<std::string, std::vector<Finding>> byPromise;
  std::vector<std::uint64_t> instants;
  auto collect = [&](const std::string& output, const std::string& replay) {
    std::istringstream lines(output);
    bool violated = false;
    for (std::string line; std::getline(lines, line);) {
      const std::size_t tab = line.find('\t');
      const std::string key = line.substr(0, tab), detail = line.substr(tab + 1);
      if (key == "instant") {
        instants.push_back(std::stoull(detail));
      } else {
        byPromise[key].push_back({detail, replay});
        violated = true;
      }
    }
    return violated;
  };

  int runs = 1, violatingRuns = 0;
  violatingRuns += collect(InFreshProcess([&] { return CheckedRun(scenario, std::nullopt); }), "zefo_sim " + path);
  std::vector<std::uint64_t> points;
  for (std::uint64_t instant : instants)
    for (std::uint64_t point : {instant, instant + 1})
      if (points.empty() || points.back() < point) points.push_back(point);

  const Action action = *InjectableEvent(event);
  for (std::uint64_t point : points) {
    const TimedAction injected{point, action};
    const std::string replay = "zefo_sim --inject " + event + "@" + std::to_string(point) + " " + path;
    violatingRuns += collect(InFreshProcess([&] { return CheckedRun(scenario, injected); }), replay);
    ++runs;
  }

  std::fprintf(out, "explore %s over %s: %d runs, %zu instants (%zu injection points), %d violating runs\n",
               event.c_str(), path.c_str(), runs, instants.size(), points.size(), violatingRuns);
  for (const auto& [promise, findings] : byPromise) {
    std::fprintf(out, "  %s: %zu\n", promise.c_str(), findings.size());
    for (const Finding& finding : findings)
      std::fprintf(out, "    %s\n      replay: %s\n", finding.detail.c_str(), finding.replay.c_str());
  }
  return violatingRuns;
}

}  // namespace scenario
