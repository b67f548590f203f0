#include "tools/sim/checked_run.h"

#include <malloc.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tools/sim/machine_run.h"

namespace scenario {
namespace {

// The machine's threads take turns under its one lock, so a run gains
// nothing from a second core and loses much: every hand-off to a thread on
// another core is a cross-core wake-up, and every thread's first allocation
// makes it an arena of its own. One core and one arena for the run.
void RunLikeOneThread() {
  cpu_set_t here;
  CPU_ZERO(&here);
  const int cpu = sched_getcpu();
  if (cpu >= 0) {
    CPU_SET(cpu, &here);
    sched_setaffinity(0, sizeof here, &here);
  }
  mallopt(M_ARENA_MAX, 1);
}

// Runs body in a fresh process and gives what it returned, or what it had
// written before it failed and a line saying how the process ended.
std::string InFreshProcess(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    close(fds[0]);
    RunLikeOneThread();
    std::string output;
    try {
      output = body();
    } catch (const std::exception& error) {
      output = std::string("violation\trun failed\t") + error.what() + "\n";
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
  if (WIFSIGNALED(status))
    output += "violation\trun failed\tthe run's process ended by signal " + std::to_string(WTERMSIG(status)) + "\n";
  return output;
}

// The child's findings, one tab-separated line each: "violation\tpromise\tdetail",
// "instant\tms", "secure\tdevice\tvalue" (value empty when missing),
// "stophandler\tms".
std::string RunAndCheck(const Scenario& scenario, const std::optional<TimedAction>& injected) {
  RunOptions options;
  if (injected) options.injected.push_back(*injected);
  const RunResult run = RunScenario(scenario, options);
  const PromiseCheck promises = CheckPromises(scenario, run);
  std::string lines;
  for (const Violation& v : promises.broken) lines += "violation\t" + v.promise + "\t" + v.detail + "\n";
  if (promises.longestStopHandlerMs) lines += "stophandler\t" + std::to_string(*promises.longestStopHandlerMs) + "\n";
  const auto before = injected ? std::optional<std::uint64_t>(injected->atMs) : std::nullopt;
  for (const ExpectationFailure& f : CheckExpectations(scenario, run, before))
    lines += "violation\tthe scenario's own expectations\tline " + std::to_string(f.line) + ": expected " +
             f.expected + "; happened: " + f.happened + "\n";
  for (std::uint64_t instant : run.instants) lines += "instant\t" + std::to_string(instant) + "\n";
  for (const DeviceAtEnd& device : run.devices)
    lines += "secure\t" + device.name + "\t" +
             (device.secureFingerprint ? std::to_string(*device.secureFingerprint) : "") + "\n";
  return lines;
}

}  // namespace

CheckedRun RunCheckedInFreshProcess(const Scenario& scenario, const std::optional<TimedAction>& injected) {
  CheckedRun checked;
  std::istringstream lines(InFreshProcess([&] { return RunAndCheck(scenario, injected); }));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t tab = line.find('\t'), second = line.find('\t', tab + 1);
    const std::string kind = line.substr(0, tab);
    if (kind == "instant") {
      checked.instants.push_back(std::stoull(line.substr(tab + 1)));
    } else if (kind == "stophandler") {
      checked.longestStopHandlerMs = std::stoull(line.substr(tab + 1));
    } else if (kind == "secure") {
      const std::string value = line.substr(second + 1);
      checked.secureFingerprints.emplace_back(line.substr(tab + 1, second - tab - 1),
                                              value.empty() ? std::nullopt
                                                            : std::optional<std::uint32_t>(std::stoul(value)));
    } else {
      checked.violations.push_back({line.substr(tab + 1, second - tab - 1), line.substr(second + 1)});
    }
  }
  return checked;
}

}  // namespace scenario
