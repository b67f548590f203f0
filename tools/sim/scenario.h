// A scenario: a laptop's machine, a timeline on the machine clock, and what
// should be seen. Read from a line-oriented text file (the README describes
// the format); reading never touches a machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace scenario {

// A line that cannot be read: "file:line: what is wrong".
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr std::uint64_t kHang = UINT64_MAX;  // a program or installer call that never ends
// The longest run a scenario may ask for, and the longest duration it may
// write: a year of machine time.
constexpr std::uint64_t kLongestRunMs = 365ull * 24 * 3600000;
// The most timeline actions a scenario may hold, its repeated copies included.
constexpr std::size_t kMostTimelineActions = 100000;

// The service the scenario runs, and the biometric service every machine has.
constexpr char kServiceUnderTest[] = "ZEFOTestService";
constexpr char kBiometricService[] = "WbioSrvc";

// A registry value as a scenario writes it.
struct Value {
  enum class Type { kDword, kQword, kString, kBinary };
  Type type = Type::kDword;
  std::uint64_t number = 0;
  std::string text;
  std::vector<std::uint8_t> bytes;
};

struct Device {
  std::string name;  // the scenario's own name for it
  std::string description;
  std::vector<std::string> hardwareIds;
  unsigned long problem = 0;
  bool present = true;
  bool disabled = false;  // at the machine's start, as an earlier run left it
};

// Another service of the machine, running at boot: how long it takes to
// stop after a stop request and to start after a start.
struct OtherService {
  std::string name;
  std::uint64_t stopMs = 0;
  std::uint64_t startMs = 0;
};

// What happens at one machine instant: the setup lines that may also stand in
// the timeline, and the timeline's own actions.
struct Action {
  enum class Kind {
    kStart, kStop, kShutdown, kUserControl, kKill, kReboot,
    kLid, kDisplay, kSession,
    kProblem, kAddDevice, kRemoveDevice, kDriverAttach,
    kPersonDisables, kPersonEnables,  // in Device Manager
    kSetting, kConfig, kFirmware, kFirmwareMissing, kFault,
  };
  Kind kind = Kind::kStart;
  int line = 0;
  std::string device;     // kProblem, kAddDevice, kRemoveDevice, kPersonDisables, kPersonEnables, kConfig
  std::string name;       // value, variable or operation name
  std::string about;      // kFault: only calls about this name fail (empty: any call)
  Value value;            // kSetting, kConfig
  std::vector<std::uint8_t> bytes;  // kFirmware
  // kUserControl: the control; kLid: 0 closed, 1 open; kDisplay: 0 off, 1 on,
  // 2 dimmed; kSession: WTS event type; kProblem: problem code (0 clears);
  // kFault: error code.
  unsigned long number = 0;
  int times = 1;  // kFault: how many calls fail, -1 every call
  bool persists = false;  // kProblem: an enable does not clear it
};

struct TimedAction {
  std::uint64_t atMs = 0;
  Action action;
};

struct Expectation {
  enum class What { kDebug, kEvent, kDevice, kCommand, kState, kRegistry };
  enum class When { kAnyTime, kAt, kBy };
  int line = 0;
  What what = What::kDebug;
  When when = When::kAnyTime;
  std::uint64_t timeMs = 0;  // kAt, kBy
  bool never = false;
  std::optional<std::uint32_t> atMost;  // seen no more than this many times in the window
  bool pattern = false;  // kDebug, kEvent: text is a pattern searched for (tools/sim/pattern.h)
  std::string text;      // message, command line, state name (RUNNING, ...), or "disable"/"enable"
  std::string device;    // kDevice; kRegistry: the device whose WinBio\Configurations key holds it
  std::string keyPath;   // kRegistry without device: key under HKLM
  std::string valueName;  // kRegistry
  // kRegistry: a dword equal to value, no such value, or a multi-string
  // that lists nothing.
  enum class Registry { kEquals, kMissing, kEmpty };
  Registry registry = Registry::kEquals;
  Value value;            // kRegistry, kEquals
  // Whether it reads the state at the end of the run rather than a moment
  // of the timeline (state and registry without "at" or "by").
  bool AtEnd() const { return when == When::kAnyTime && (what == What::kState || what == What::kRegistry); }
};

struct Scenario {
  std::string file;
  std::vector<Device> devices;
  // The machine's other services; WbioSrvc is there whether declared or not.
  std::vector<OtherService> services;
  std::vector<Action> setup;  // settings, configs, firmware, faults before anything runs
  // The devices the recovery record lists before anything runs, as an
  // earlier run (or someone else) left it.
  std::vector<std::string> recorded;
  bool systemEnvironmentPrivilege = true;
  bool uefiFirmware = true;  // false: legacy BIOS, no firmware variables at all
  std::uint64_t scTimeMs = 0;
  std::uint64_t installerTimeMs = 0;
  // How long the system gives the service after a shutdown control.
  std::uint64_t shutdownTimeoutMs = 20000;
  std::optional<std::uint64_t> endMs;  // how long the run lasts; else a minute past its last time
  std::vector<TimedAction> timeline;  // in time order, file order within one instant
  std::vector<Expectation> expectations;

  // The declared service, or WbioSrvc as every machine has it.
  std::vector<OtherService> ServicesAtBoot() const;
  // Machine time the run lasts to.
  std::uint64_t EndMs() const;
};

// Reads a scenario's lines; throws ScenarioError for the first line that is
// wrong. In time and memory linear in the text, whatever it holds.
Scenario ParseScenario(const std::string& text, const std::string& file);
// A scenario file's text, read to run: its lines, and what a whole file
// needs besides (a statement, a start of the service), refused at its last
// line.
Scenario ReadScenarioFile(const std::string& text, const std::string& file);
// The same from a path, which must name a regular file that can be read.
Scenario LoadScenario(const std::string& path);

// "1h2m3.5s", "90s", "250ms", "0": machine time in ms; none when malformed,
// not whole milliseconds, or longer than kLongestRunMs.
std::optional<std::uint64_t> ParseDuration(const std::string& text);
// Machine time as a person reads it: "0:02:30.000".
std::string FormatTime(std::uint64_t ms);

// Names as Windows compares them, whatever their case: services, registry paths.
bool SameIgnoringCase(const std::string& a, const std::string& b);

// Names of service states as the scenario and the output write them.
std::optional<unsigned long> StateFromName(const std::string& name);
std::string StateName(unsigned long state);

}  // namespace scenario
