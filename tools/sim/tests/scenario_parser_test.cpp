// The scenario reader: what a person writes, and the message a wrong line gets.
#include <gtest/gtest.h>

#include "tools/sim/scenario.h"

namespace {

using scenario::ParseScenario;
using scenario::ScenarioError;

const char kDevices[] =
    "device sensor \"ZEFO Fingerprint Sensor\" ids USB\\VID_1234&PID_0A20&REV_0001 USB\\VID_1234&PID_0A20\n";

std::string ErrorOf(const std::string& text) {
  try {
    ParseScenario(text, "s.scn");
  } catch (const ScenarioError& error) {
    return error.what();
  }
  return "no error";
}

struct BadLine {
  const char* line;
  const char* message;
};

class BadScenarioLine : public ::testing::TestWithParam<BadLine> {};

// Each bad line comes after the device line, so its error is on line 2.
TEST_P(BadScenarioLine, StopsWithFileLineAndWhatIsWrong) {
  EXPECT_EQ(std::string("s.scn:2: ") + GetParam().message, ErrorOf(std::string(kDevices) + GetParam().line + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadScenarioLine,
    ::testing::Values(
        BadLine{"sensor 43",
                "unknown keyword 'sensor' (expected device, service, setting, config, firmware, privilege, recorded, "
                "sc-time, installer-time, shutdown-timeout, fail, end, at or expect)"},
        BadLine{"shutdown-timeout never", "bad shutdown timeout: never (e.g. 250ms, 30s, 2m, 1h30m)"},
        BadLine{"at 1m reboot now", "unexpected 'now' at the end of the line"},
        BadLine{"service", "missing service name"},
        BadLine{"service WbioSrvc stop-time", "missing stop time"},
        BadLine{"service WbioSrvc start-time soon", "bad start time: soon (e.g. 250ms, 30s, 2m, 1h30m)"},
        BadLine{"service WbioSrvc stop-time 1s stop-time 2s",
                "expected stop-time or start-time (each once) after the service name, found 'stop-time'"},
        BadLine{"service WbioSrvc hang",
                "expected stop-time or start-time (each once) after the service name, found 'hang'"},
        BadLine{"service zefotestservice stop-time 1s",
                "'zefotestservice' is the service under test; a service line is for another service"},
        BadLine{"at 5x stop", "bad time: 5x (e.g. 0, 30s, 2m, 1h30m, +5s)"},
        BadLine{"at 1.5.2s stop", "bad time: 1.5.2s (e.g. 0, 30s, 2m, 1h30m, +5s)"},
        BadLine{"at stop", "bad time: stop (e.g. 0, 30s, 2m, 1h30m, +5s)"},
        BadLine{"at 1m", "missing action"},
        BadLine{"at 1m jump",
                "unknown action 'jump' (expected start, stop, shutdown, kill, reboot, control, lid, display, logon, "
                "logoff, lock, unlock, problem, add, remove, disable, enable, driver-attach, setting, config, firmware "
                "or fail)"},
        BadLine{"at 1m problem camera 43", "unknown device 'camera' (declare it first with a device line)"},
        BadLine{"at 1m problem sensor 4x", "malformed problem code (or clear): 4x"},
        BadLine{"at 1m lid ajar", "bad lid state 'ajar' (expected close or open)"},
        BadLine{"at 1m display bright", "bad display state 'bright' (expected off, on or dimmed)"},
        BadLine{"at 1m control 12", "a user control is 128 to 255"},
        BadLine{"at 1m stop now", "unexpected 'now' at the end of the line"},
        BadLine{"setting ServicePollingTime 5", "expected '=', found '5'"},
        BadLine{"setting ServicePollingTime = 99999999999", "dword value too large: 99999999999"},
        BadLine{"setting ServicePollingTime = sz 5", "string value must be in double quotes: 5"},
        BadLine{"setting LOG_SWITCH = binary 1", "malformed byte in binary value: 1 (two hex digits, e.g. 01)"},
        BadLine{"firmware EssState =", "firmware variable without bytes (write 'missing' for none)"},
        BadLine{"at 1m firmware none",
                "the machine's firmware is UEFI or not from its start: 'firmware none' takes no time"},
        BadLine{"firmware none = 01 extra",
                "malformed byte in firmware variable bytes: extra (two hex digits, e.g. 01)"},
        BadLine{"firmware EssState = zz", "malformed byte in firmware variable bytes: zz (two hex digits, e.g. 01)"},
        BadLine{"config camera SecureFingerprint = 1", "unknown device 'camera' (declare it first with a device line)"},
        BadLine{"device sensor \"Again\"", "device 'sensor' declared twice"},
        BadLine{"device other Other Reader", "device description must be in double quotes: Other"},
        BadLine{"device other \"Other\" problem", "missing problem code"},
        BadLine{"device other \"Other\" colour red",
                "expected ids, problem, absent or disabled after the device description, found 'colour'"},
        BadLine{"privilege SeDebugPrivilege held", "the only privilege a scenario sets is SeSystemEnvironmentPrivilege"},
        BadLine{"privilege SeSystemEnvironmentPrivilege maybe", "bad privilege state 'maybe' (expected held or missing)"},
        BadLine{"sc-time soon", "bad sc.exe run time: soon (e.g. 250ms, 30s, 2m, 1h30m)"},
        BadLine{"fail SetupDiCallClassInstaller 5 times 0", "times must be at least 1"},
        BadLine{"fail SetupDiCallClassInstaller", "missing error code"},
        BadLine{"fail SetupDiCallClassInstallr 5",
                "unknown operation 'SetupDiCallClassInstallr' (not one the simulated machine can fail; the README "
                "lists them)"},
        BadLine{"at 1m fail RegOpenKey 2",
                "unknown operation 'RegOpenKey' (not one the simulated machine can fail; the README lists them)"},
        BadLine{"expect by 1m state WALKING",
                "unknown service state 'WALKING' (expected STOPPED, START_PENDING, STOP_PENDING, RUNNING, "
                "CONTINUE_PENDING, PAUSE_PENDING or PAUSED)"},
        BadLine{"expect debug ~ \"(\"", "bad pattern \"(\": missing ): ( (RE2 syntax, e.g. \"Polling .* s\")"},
        BadLine{"expect debug Enter wmain", "message must be in double quotes: Enter"},
        BadLine{"expect device sensor reset", "bad device action 'reset' (expected disable or enable)"},
        BadLine{"expect registry sensor SecureFingerprint = sz \"1\"", "a registry expectation compares a dword value"},
        BadLine{"expect smell \"smoke\"",
                "unknown expectation 'smell' (expected debug, event, device, command, state or registry)"},
        BadLine{"expect debug \"unterminated", "unterminated quoted text"},
        BadLine{"fail SetupDiCallClassInstaller 31 about sensor",
                "the calls of SetupDiCallClassInstaller are not told apart by a name: 'about' does not go with it"},
        BadLine{"fail RegQueryValueExW 1450 times 2 about", "missing name the calls are about (the value name)"},
        BadLine{"fail RegQueryValueExW 1450 about \"DisabledDevices\"",
                "expected name the calls are about (the value name), found quoted text"},
        BadLine{"recorded", "missing device name"},
        BadLine{"recorded camera", "unknown device 'camera' (declare it first with a device line)"},
        BadLine{"recorded sensor sensor", "device 'sensor' recorded twice"},
        BadLine{"at 1m disable camera", "unknown device 'camera' (declare it first with a device line)"},
        BadLine{"at 1m enable", "missing device name"},
        BadLine{"at 1m lock x0 over 4s", "x0: an action repeated comes at least once"},
        BadLine{"at 1m lock xmany over 4s", "malformed number of copies: many"},
        BadLine{"at 1m lock x200000 over 4s", "number of copies too large: 200000"},
        BadLine{"at 1m lock x40 over soon", "bad duration of the copies: soon (e.g. 250ms, 30s, 2m, 1h30m)"},
        BadLine{"at 1m lock x40 over \"4s\"", "duration must not be in double quotes: 4s"},
        BadLine{"at 1m lock x40 4s", "unexpected 'x40' at the end of the line"},
        BadLine{"at 1m x40 over 4s", "missing action"},
        BadLine{"expect registry key \"Software\\X\" V blank", "expected '=', found 'blank'"},
        BadLine{"expect at 1m registry key \"Software\\X\" V missing",
                "'missing' and 'empty' read the value at the end of the run: no at or by"},
        BadLine{"expect at most 2 times state RUNNING",
                "'at most' counts lines of the timeline: give the state a time (at or by)"},
        BadLine{"expect by 1m at most two times device sensor disable", "malformed count: two"},
        BadLine{"expect by 1m at least 2 times device sensor disable", "expected 'most', found 'least'"},
        BadLine{"expect by 1m at most 2 device sensor disable", "expected 'times', found 'device'"},
        BadLine{"expect debug ~ \"a**\"", "bad pattern \"a**\": bad repetition operator: ** (RE2 syntax, e.g. \"Polling .* s\")"},
        BadLine{"at 8760h1ms stop", "time 8760h1ms is past a year (8760h), the longest run"},
        BadLine{"end 1000000h", "end time 1000000h is past a year (8760h), the longest run"},
        BadLine{"sc-time 0.5ms", "bad sc.exe run time: 0.5ms (e.g. 250ms, 30s, 2m, 1h30m)"},
        BadLine{"at 8760h lock x2 over 2h", "the last copy is past a year (8760h), the longest run"},
        BadLine{"at 1m stop 12345678901234567890123456789012345678901234567890123456789012345678901234567890123",
                "unexpected '1234567890123456789012345678901234567890... (83 characters)' at the end of the line"}));

// A time counted from the line before stays within the year too, and the
// timeline's copies are bounded all together, not only on one line.
TEST(ScenarioParser, RunsAreBoundedOverLines) {
  EXPECT_EQ("s.scn:3: time +1s is past a year (8760h), the longest run",
            ErrorOf(std::string(kDevices) + "at 8760h stop\nat +1s start\n"));
  EXPECT_EQ("s.scn:3: more than 100000 timeline actions, copies included",
            ErrorOf(std::string(kDevices) + "at 0 lock x100000 over 1s\nat 1s unlock\n"));
}

// A file to run needs more than lines that read.
TEST(ScenarioFile, NeedsAStatementAndAStart) {
  const auto errorOf = [](const std::string& text) -> std::string {
    try {
      scenario::ReadScenarioFile(text, "s.scn");
    } catch (const ScenarioError& error) {
      return error.what();
    }
    return "no error";
  };
  EXPECT_EQ("s.scn:1: empty file (a scenario needs at least 'at 0 start')", errorOf(""));
  EXPECT_EQ("s.scn:1: no 'at TIME start': the service would never run", errorOf("# nothing yet"));
  EXPECT_EQ("s.scn:3: no 'at TIME start': the service would never run",
            errorOf(std::string(kDevices) + "at 0 reboot\n\n"));
  EXPECT_EQ("no error", errorOf("at 0 start"));
}

// The record is one line's list.
TEST(ScenarioParser, TheRecoveryRecordIsGivenOnce) {
  EXPECT_EQ("s.scn:3: the recovery record is given once, on one recorded line",
            ErrorOf(std::string(kDevices) + "recorded sensor\nrecorded sensor\n"));
}

// "xN over DURATION": copy i at TIME + i * DURATION / N, each its own action
// of the timeline; "+" counts from the line's own time.
TEST(ScenarioParser, RepeatedActionsAreSpreadEvenlyOverTheirDuration) {
  const scenario::Scenario s = ParseScenario(std::string(kDevices) +
                                                 "at 10m lock x4 over 4s\n"
                                                 "at +1s firmware EssState = 01 02 x3 over 100ms\n"
                                                 "at 20m driver-attach x1 over 1m\n",
                                             "s.scn");
  std::vector<std::uint64_t> times;
  for (const scenario::TimedAction& timed : s.timeline) times.push_back(timed.atMs);
  EXPECT_EQ((std::vector<std::uint64_t>{600000, 601000, 601000, 601033, 601066, 602000, 603000, 1200000}), times);
  EXPECT_EQ("lock", s.timeline[0].action.name);
  EXPECT_EQ((std::vector<std::uint8_t>{1, 2}), s.timeline[2].action.bytes);
  EXPECT_EQ(scenario::Action::Kind::kDriverAttach, s.timeline.back().action.kind);
}

TEST(ScenarioParser, ReadsFaultsAboutANamePersonsActionsAndTheRecord) {
  const scenario::Scenario s =
      ParseScenario(std::string(kDevices) +
                        "device reader \"Other Reader\" ids USB\\VID_5678&PID_0001\n"
                        "recorded reader sensor\n"
                        "fail RegQueryValueExW 1450 times 2 about DisabledDevices\n"
                        "at 1m fail CreateEventW 8 always about Global\\DriverAttach\n"
                        "at 2m disable reader\n"
                        "at 3m enable reader\n"
                        "expect by 3m at most 2 times device sensor disable\n"
                        "expect registry key \"System\\Recovery\" DisabledDevices empty\n"
                        "expect never registry sensor SecureFingerprint missing\n",
                    "s.scn");
  EXPECT_EQ((std::vector<std::string>{"reader", "sensor"}), s.recorded);
  ASSERT_EQ(1u, s.setup.size());
  EXPECT_EQ("DisabledDevices", s.setup[0].about);
  EXPECT_EQ(2, s.setup[0].times);
  ASSERT_EQ(3u, s.timeline.size());
  EXPECT_EQ("Global\\DriverAttach", s.timeline[0].action.about);
  EXPECT_EQ(-1, s.timeline[0].action.times);
  using K = scenario::Action::Kind;
  EXPECT_EQ(K::kPersonDisables, s.timeline[1].action.kind);
  EXPECT_EQ(K::kPersonEnables, s.timeline[2].action.kind);
  EXPECT_EQ("reader", s.timeline[2].action.device);
  ASSERT_EQ(3u, s.expectations.size());
  EXPECT_EQ(std::optional<std::uint32_t>(2), s.expectations[0].atMost);
  using R = scenario::Expectation::Registry;
  EXPECT_EQ(R::kEmpty, s.expectations[1].registry);
  EXPECT_EQ(R::kMissing, s.expectations[2].registry);
  EXPECT_TRUE(s.expectations[2].never && s.expectations[2].AtEnd());
}

// A crash, a reboot and a start after the service stopped: each a new
// service process, on the one machine.
TEST(ScenarioParser, ProcessesComeAndGo) {
  const scenario::Scenario s = ParseScenario(
      "shutdown-timeout 5s\nat 0 start\nat 1m kill\nat 2m start\nat 3m reboot\nat 4m stop\nat 5m start\n", "s.scn");
  using K = scenario::Action::Kind;
  std::vector<K> kinds;
  for (const scenario::TimedAction& timed : s.timeline) kinds.push_back(timed.action.kind);
  EXPECT_EQ((std::vector<K>{K::kStart, K::kKill, K::kStart, K::kReboot, K::kStop, K::kStart}), kinds);
  EXPECT_EQ(5000u, s.shutdownTimeoutMs);
  EXPECT_EQ(20000u, ParseScenario("", "s.scn").shutdownTimeoutMs);
}

TEST(ScenarioParser, ServiceDeclaredTwiceInAnyCaseIsRefused) {
  EXPECT_EQ("s.scn:2: service 'wbiosrvc' declared twice",
            ErrorOf("service WbioSrvc stop-time 2s\nservice wbiosrvc start-time 1s\n"));
}

// WbioSrvc runs on every machine, with no stop or start time unless a line
// gives them; other services come only from their lines.
TEST(ScenarioParser, OtherServicesAtBoot) {
  struct Case {
    const char* text;
    std::vector<std::string> names;
    std::uint64_t firstStopMs, firstStartMs;
  } cases[] = {
      {"", {"WbioSrvc"}, 0, 0},
      {"service wbiosrvc start-time 2s stop-time 1.5s\n", {"wbiosrvc"}, 1500, 2000},
      {"service Spooler stop-time 3s\n", {"WbioSrvc", "Spooler"}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto services = ParseScenario(c.text, "s.scn").ServicesAtBoot();
    std::vector<std::string> names;
    for (const scenario::OtherService& service : services) names.push_back(service.name);
    EXPECT_EQ(c.names, names);
    EXPECT_EQ(c.firstStopMs, services[0].stopMs);
    EXPECT_EQ(c.firstStartMs, services[0].startMs);
  }
}

TEST(ScenarioParser, ReadsMachineTimelineAndExpectations) {
  const scenario::Scenario s = ParseScenario(std::string(kDevices) +
                                                 "device late \"Late Sensor\" ids A B problem 31 absent"
                                                 " disabled  # comment\n"
                                                 "setting LOG_SWITCH = 1\n"
                                                 "setting ServicePollingTime = sz \"two \\\"minutes\\\"\"\n"
                                                 "firmware EssState = 01 00\n"
                                                 "firmware none\n"
                                                 "sc-time hang\n"
                                                 "at 1h30m lid close\n"
                                                 "at 0 start\n"
                                                 "at +2.5s problem late clear\n"
                                                 "expect by +1s never debug ~ \"fail\"\n"
                                                 "expect registry key \"Software\\X\" V = 0x10\n",
                                             "s.scn");
  ASSERT_EQ(2u, s.devices.size());
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), s.devices[1].hardwareIds);
  EXPECT_EQ(31u, s.devices[1].problem);
  EXPECT_FALSE(s.devices[1].present);
  EXPECT_TRUE(s.devices[1].disabled);
  EXPECT_FALSE(s.devices[0].disabled);
  ASSERT_EQ(3u, s.setup.size());
  EXPECT_EQ("two \"minutes\"", s.setup[1].value.text);
  EXPECT_EQ((std::vector<std::uint8_t>{1, 0}), s.setup[2].bytes);
  EXPECT_EQ(scenario::kHang, s.scTimeMs);
  EXPECT_FALSE(s.uefiFirmware);
  // The timeline in time order; "+" counts from the line before in the file.
  ASSERT_EQ(3u, s.timeline.size());
  EXPECT_EQ(scenario::Action::Kind::kStart, s.timeline[0].action.kind);
  EXPECT_EQ(2500u, s.timeline[1].atMs);
  EXPECT_EQ(5400000u, s.timeline[2].atMs);
  ASSERT_EQ(2u, s.expectations.size());
  EXPECT_EQ(3500u, s.expectations[0].timeMs);
  EXPECT_TRUE(s.expectations[0].never && s.expectations[0].pattern);
  EXPECT_EQ(16u, s.expectations[1].value.number);
  EXPECT_TRUE(s.expectations[1].AtEnd());
  EXPECT_EQ(5400000u + 60000u, s.EndMs());
}

// Whole milliseconds up to a year, read once from left to right whatever
// the length: a fraction counts to its last non-zero digit.
TEST(Durations, ReadAndWritten) {
  const struct {
    std::string text;
    std::optional<std::uint64_t> ms;
  } cases[] = {
      {"0", 0},
      {"250ms", 250},
      {"1h2m3.5s", 3723500},
      {"1m30s", 90000},
      {"1.50000000000000000000s", 1500},
      {"0.00001h", 36},
      {"8760h", scenario::kLongestRunMs},
      {"0.5ms", std::nullopt},
      {"0.000001h", std::nullopt},
      {"0." + std::string(400, '0') + "1ms", std::nullopt},
      {std::string(310, '9') + "s", std::nullopt},
      {"8760h1ms", std::nullopt},
      {"5", std::nullopt},
      {"1.s", std::nullopt},
      {".5s", std::nullopt},
      {"1.5.2s", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    EXPECT_EQ(c.ms, scenario::ParseDuration(c.text));
  }
  EXPECT_EQ("1:02:03.500", scenario::FormatTime(3723500));
}

}  // namespace
