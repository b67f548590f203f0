// The scenario reader's fuzz target: any bytes, read as a scenario file to
// run; what reads is then checked against a small run of its own, so that
// its patterns and expectations run too. A scenario error is the expected
// answer to a bad file; anything else escaping, a crash, a hang, a sanitizer
// report or a bound broken is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/sim/checks.h"
#include "tools/sim/scenario.h"

namespace {

// One service process that logged a few lines and stopped, every device
// present, disabled and configured.
scenario::RunResult SmallRun(const scenario::Scenario& s) {
  using scenario::Observation;
  scenario::RunResult run;
  run.endMs = s.EndMs();
  scenario::ServiceProcessRun process;
  process.finalState = "STOPPED";
  process.endMs = run.endMs;
  process.end = "main thread returned";
  process.endedOfItself = true;
  run.processes.push_back(process);
  const auto see = [&](std::uint64_t timeMs, Observation::Kind kind, const std::string& subject,
                       const std::string& detail = "") {
    Observation o;
    o.timeMs = timeMs;
    o.kind = kind;
    o.text = o.subject = subject;
    o.detail = detail;
    o.process = 0;
    run.timeline.push_back(o);
  };
  see(0, Observation::Kind::kStatus, "RUNNING");
  see(0, Observation::Kind::kDebug, "[ZEFO Service] Enter wmain...");
  see(1000, Observation::Kind::kDebug, "[ZEFO Service] Find ZEFO MOC FPR device (FRP PID = 0A20)!!!");
  see(1000, Observation::Kind::kEvent, "Polling every 2 s");
  see(2000, Observation::Kind::kCommand, "sc stop WbioSrvc");
  for (const scenario::Device& device : s.devices) {
    see(3000, Observation::Kind::kDevice, device.name, "disable");
    run.devices.push_back({device.name, true, true, 0});
    run.configurationKeys[device.name] = "SYSTEM\\CurrentControlSet\\Enum\\" + device.name + "\\WinBio\\Configurations";
  }
  see(run.endMs, Observation::Kind::kStatus, "STOPPED");
  run.essStateReads.push_back({1000, 0, false, 1});
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  scenario::Scenario s;
  try {
    s = scenario::ReadScenarioFile(std::string(reinterpret_cast<const char*>(data), size), "fuzz.scn");
  } catch (const scenario::ScenarioError&) {
    return 0;
  }
  if (s.EndMs() > scenario::kLongestRunMs + 60000 || s.timeline.size() > scenario::kMostTimelineActions) std::abort();
  const scenario::RunResult run = SmallRun(s);
  scenario::CheckExpectations(s, run);
  scenario::CheckPromises(s, run);
  return 0;
}
