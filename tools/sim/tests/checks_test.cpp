// The promises judged on a run as the runner reports it: which outcomes are
// the service's fault, which are not judged (yet), and which are the
// machine's refusal.
#include <gtest/gtest.h>

#include "tools/sim/checks.h"
#include "tools/sim/scenario.h"

namespace {

using scenario::CheckPromises;
using scenario::ControlSent;
using scenario::Observation;
using scenario::RunResult;
using scenario::ServiceProcessRun;

const char kSensor[] = "device sensor \"ZEFO Fingerprint Sensor\" ids USB\\VID_1234&PID_0A20&REV_0001\n"
                       "config sensor SecureFingerprint = 0\n";

// A run of one service process started at 0, with the sensor present.
class RunOf {
 public:
  explicit RunOf(std::uint64_t endMs) {
    run_.endMs = endMs;
    Process(0);
    scenario::DeviceAtEnd sensor;
    sensor.name = "sensor";
    run_.devices.push_back(sensor);
  }
  RunOf& Process(std::uint64_t startMs) {
    ServiceProcessRun process;
    process.startMs = startMs;
    process.finalState = "RUNNING";
    run_.processes.push_back(process);
    return *this;
  }
  // The current process ends: "TerminateProcess", "main thread returned", ...
  RunOf& Ends(std::uint64_t atMs, const std::string& how, const std::string& finalState = "RUNNING") {
    ServiceProcessRun& process = run_.processes.back();
    process.endMs = atMs;
    process.end = how;
    process.endedOfItself = how == "main thread returned";
    process.finalState = finalState;
    return *this;
  }
  RunOf& See(std::uint64_t atMs, Observation::Kind kind, const std::string& subject, const std::string& detail = "") {
    Observation o;
    o.timeMs = atMs;
    o.kind = kind;
    o.text = o.subject = subject;
    o.detail = detail;
    o.process = static_cast<int>(run_.processes.size()) - 1;
    run_.timeline.push_back(o);
    return *this;
  }
  RunOf& Disabled(std::uint64_t atMs) {
    run_.devices[0].disabled = true;
    return See(atMs, Observation::Kind::kDevice, "sensor", "disable");
  }
  RunOf& Control(std::uint64_t atMs, const std::string& what, bool delivered, std::uint64_t handlerMs = 0) {
    ControlSent sent;
    sent.atMs = atMs;
    sent.what = what;
    sent.lifecycle = what == "stop" || what == "shutdown";
    sent.queued = sent.delivered = delivered;
    sent.handlerMs = handlerMs;
    sent.returned = true;
    sent.process = static_cast<int>(run_.processes.size()) - 1;
    run_.controls.push_back(sent);
    return *this;
  }
  RunOf& Read(std::uint64_t atMs, std::uint32_t callsFor, bool injected = false) {
    run_.essStateReads.push_back({atMs, static_cast<int>(run_.processes.size()) - 1, injected, callsFor});
    return *this;
  }
  RunResult& Get() { return run_; }

 private:
  RunResult run_;
};

std::vector<std::string> Broken(const RunResult& run, const std::string& machine = kSensor) {
  std::vector<std::string> promises;
  for (const scenario::Violation& v : CheckPromises(scenario::ParseScenario(machine, "s.scn"), run).broken)
    promises.push_back(v.promise);
  return promises;
}

const std::vector<std::string> kNone;
const std::vector<std::string> kSensorLeftDisabled = {"every sensor the service disabled is enabled again"};

// A sensor disabled at 60 s and never enabled again.
TEST(DisabledSensor, IsJudgedByTheEndOrAfterAShutdownOrKillByTheNextStart) {
  struct Case {
    const char* what;
    RunOf run;
    std::vector<std::string> broken;
  } cases[] = {
      {"still running, settled", std::move(RunOf(120000).Disabled(60000)), kSensorLeftDisabled},
      {"still running, settling", std::move(RunOf(100000).Disabled(60000)), kNone},
      {"killed, no later start", std::move(RunOf(200000).Disabled(60000).Ends(61000, "TerminateProcess")), kNone},
      {"killed, a later start that did not enable it",
       std::move(RunOf(200000).Disabled(60000).Ends(61000, "TerminateProcess").Process(100000)), kSensorLeftDisabled},
      {"killed, a later start still settling",
       std::move(RunOf(130000).Disabled(60000).Ends(61000, "TerminateProcess").Process(100000)), kNone},
      {"shut down in order, no later start",
       std::move(RunOf(200000).Disabled(60000).Control(61000, "shutdown", true).Ends(62000, "main thread returned",
                                                                                   "STOPPED")),
       kNone},
      {"stopped in order: a stop finishes what it began",
       std::move(
           RunOf(200000).Disabled(60000).Control(61000, "stop", true).Ends(62000, "main thread returned", "STOPPED")),
       kSensorLeftDisabled},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.broken, Broken(c.run.Get()));
  }
}

TEST(DisabledSensor, AbsentForAWhileIsJudgedFromWhenItCameBack) {
  for (std::uint64_t endMs : {180000u, 200000u}) {
    SCOPED_TRACE(endMs);
    RunOf run(endMs);
    run.Disabled(60000)
        .See(70000, Observation::Kind::kControl, "remove sensor")
        .See(150000, Observation::Kind::kControl, "add sensor");
    EXPECT_EQ(endMs == 180000u ? kNone : kSensorLeftDisabled, Broken(run.Get()));
  }
  RunOf absent(200000);
  absent.Disabled(60000).Get().devices[0].present = false;
  EXPECT_EQ(kNone, Broken(absent.Get()));
}

TEST(DisabledSensor, EveryEnableRefusedIsTheMachinesRefusal) {
  RunOf run(200000);
  run.Disabled(60000).See(61000, Observation::Kind::kDevice, "sensor", "enable refused");
  const auto check = CheckPromises(scenario::ParseScenario(kSensor, "s.scn"), run.Get());
  EXPECT_TRUE(check.broken.empty());
  ASSERT_EQ(1u, check.machineRefusals.size());
  EXPECT_EQ("every sensor the service disabled is enabled again", check.machineRefusals[0].promise);
}

// What a person does in Device Manager is theirs: a sensor they disable stays
// disabled, and one the service disabled is not judged once they changed it.
TEST(PersonsDisable, IsNeverUndoneByTheService) {
  const std::vector<std::string> undone = {"a device a person disabled stays disabled"};
  struct Case {
    const char* what;
    RunOf run;
    std::vector<std::string> broken;
  } cases[] = {
      {"enabled by the service after a person disabled it",
       std::move(RunOf(200000)
                     .See(10000, Observation::Kind::kControl, "disable sensor")
                     .See(20000, Observation::Kind::kDevice, "sensor", "enable")),
       undone},
      {"enabled by the service after the person enabled it again",
       std::move(RunOf(200000)
                     .See(10000, Observation::Kind::kControl, "disable sensor")
                     .See(15000, Observation::Kind::kControl, "enable sensor")
                     .See(20000, Observation::Kind::kDevice, "sensor", "enable")),
       kNone},
      {"a disable Device Manager did not offer",
       std::move(RunOf(200000)
                     .See(10000, Observation::Kind::kControl, "disable sensor: disabled already")
                     .See(20000, Observation::Kind::kDevice, "sensor", "enable")),
       kNone},
      {"disabled by the service, then by the person",
       std::move(RunOf(200000)
                     .Disabled(10000)
                     .See(11000, Observation::Kind::kDevice, "sensor", "enable")
                     .See(20000, Observation::Kind::kControl, "disable sensor")),
       kNone},
      {"enabled by a person, then disabled by the service and never enabled",
       std::move(RunOf(200000).See(5000, Observation::Kind::kControl, "enable sensor").Disabled(10000)),
       kSensorLeftDisabled},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.run.Get().devices[0].disabled = true;
    EXPECT_EQ(c.broken, Broken(c.run.Get()));
  }
}

// "at most N times" counts within its window; "missing" and "empty" read the
// value at the end.
TEST(Expectations, CountsAndValuesAtTheEnd) {
  RunOf run(200000);
  run.Disabled(10000).Disabled(70000).Disabled(130000);
  run.Get().registryAtEnd["Software\\Recovery\\DisabledDevices"] = "empty";
  run.Get().registryAtEnd["Software\\Recovery\\Other"] = std::nullopt;
  const scenario::Scenario s = scenario::ParseScenario(
      std::string(kSensor) +
          "expect by 1m30s at most 2 times device sensor disable\n"
          "expect by 2m10s at most 2 times device sensor disable\n"
          "expect at most 3 times device sensor disable\n"
          "expect registry key \"Software\\Recovery\" DisabledDevices empty\n"
          "expect registry key \"Software\\Recovery\" DisabledDevices missing\n"
          "expect registry key \"Software\\Recovery\" Other missing\n"
          "expect never registry key \"Software\\Recovery\" Other empty\n",
      "s.scn");
  const auto failures = scenario::CheckExpectations(s, run.Get());
  ASSERT_EQ(2u, failures.size());
  EXPECT_EQ(4, failures[0].line);
  EXPECT_EQ("seen 3 times, at 0:00:10.000 sensor; 0:01:10.000 sensor; 0:02:10.000 sensor", failures[0].happened);
  EXPECT_EQ(7, failures[1].line);
  EXPECT_EQ("at the end: registry key \"Software\\Recovery\" DisabledDevices missing", failures[1].expected);
  EXPECT_EQ("value at 0:03:20.000: empty", failures[1].happened);
}

TEST(BiometricService, StoppedAtTheEndIsNotJudgedWhileTheMachineGoesDown) {
  for (bool shutDown : {false, true}) {
    SCOPED_TRACE(shutDown);
    RunOf run(100000);
    run.See(10000, Observation::Kind::kCommand, "sc stop WbioSrvc").Ends(20000, "main thread returned", "STOPPED");
    run.Get().biometricServiceRunningAtEnd = false;
    run.Get().shutDownAtEnd = shutDown;
    EXPECT_EQ(shutDown ? kNone : std::vector<std::string>{"WbioSrvc running at the end"}, Broken(run.Get()));
  }
}

// Judged against the firmware as the service last read it, with no
// debugger line to go by, once the sync had time to finish.
TEST(SecureFingerprint, IsJudgedAgainstTheLastReadTheServiceMade) {
  const std::vector<std::string> wrong = {"SecureFingerprint as the firmware calls for"};
  struct Case {
    const char* what;
    RunOf run;
    std::uint32_t value;
    std::vector<std::string> broken;
  } cases[] = {
      {"as read", std::move(RunOf(100000).Read(1000, 1)), 1, kNone},
      {"not as read", std::move(RunOf(100000).Read(1000, 1)), 0, wrong},
      {"a later read the machine failed by a fault saw nothing",
       std::move(RunOf(100000).Read(1000, 1).Read(50000, 0, true)), 1, kNone},
      {"a read whose sync may still run", std::move(RunOf(100000).Read(90000, 1)), 0, kNone},
      {"a read before the sensor came back",
       std::move(RunOf(200000).Read(1000, 1).See(60000, Observation::Kind::kControl, "add sensor")), 0, kNone},
      {"a read by a process killed at once", std::move(RunOf(200000).Read(1000, 1).Ends(1000, "TerminateProcess")), 0,
       kNone},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.run.Get().devices[0].secureFingerprint = c.value;
    EXPECT_EQ(c.broken, Broken(c.run.Get()));
  }
}

TEST(StopHandler, TheLongestStopOrShutdownHandlerIsMeasured) {
  RunOf run(100000);
  run.Control(10000, "lid open", true, 40000)
      .Control(60000, "stop", true, 27000)
      .Ends(87000, "main thread returned", "STOPPED");
  const auto check = CheckPromises(scenario::ParseScenario("", "s.scn"), run.Get());
  EXPECT_EQ(std::optional<std::uint64_t>(27000), check.longestStopHandlerMs);
  // Only the lid's handler broke the 30 s: 27 s for a stop breaks nothing.
  ASSERT_EQ(1u, check.broken.size());
  EXPECT_EQ("control handler back within 30 s", check.broken[0].promise);
  const auto none = CheckPromises(scenario::ParseScenario("", "s.scn"), RunOf(100000).Get());
  EXPECT_EQ(std::nullopt, none.longestStopHandlerMs);
}

}  // namespace
