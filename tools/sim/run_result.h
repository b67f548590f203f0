// What one run of a scenario showed, in machine-independent terms: the
// timeline a person reads, and the state at the end that the checks need.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace scenario {

struct Observation {
  // kMachine: the rest of the machine's journal (waits, sleeps, threads, the
  // SCM's own steps, ...), with --journal.
  enum class Kind { kDebug, kStatus, kDevice, kRegistry, kCommand, kEvent, kTrace, kControl, kMachine };
  std::uint64_t timeMs = 0;
  Kind kind = Kind::kDebug;
  std::string text;     // the line as printed
  std::string subject;  // debug/event: the message; status: state name; device: its scenario name;
                        // registry: key\value under HKLM; command: command line; control: what was sent
  std::string detail;   // device: "disable"/"enable"; registry: the value written; status: the report's fields
};

const char* KindName(Observation::Kind kind);

// One control the run sent towards the service, and how it went. The SCM
// may hold it while another handler runs; handlerMs counts from the call of
// the handler.
struct ControlSent {
  std::uint64_t atMs = 0;
  std::string what;             // "stop", "shutdown", "lid open", ...
  bool lifecycle = false;       // a stop or a shutdown
  bool delivered = false;       // the handler was called
  std::uint64_t deliveredAtMs = 0;
  std::uint64_t handlerMs = 0;  // machine time the handler ran, up to the end of the run if it never returned
  bool returned = false;        // the handler returned
  std::string refusal;          // why it was not delivered
};

struct DeviceAtEnd {
  std::string name;
  bool present = true;
  bool disabled = false;
  std::optional<std::uint32_t> secureFingerprint;  // a REG_DWORD in its WinBio\Configurations key
};

struct RunResult {
  std::vector<Observation> timeline;
  std::vector<ControlSent> controls;
  // Every distinct machine time at which the machine's journal shows anything.
  std::vector<std::uint64_t> instants;
  std::uint64_t endMs = 0;
  bool started = false;
  bool reachedRunning = false;
  bool processEnded = false;      // wmain returned
  std::string finalState;         // the last reported state, "" when none
  std::vector<DeviceAtEnd> devices;
  // Registry values the expectations read at the end, by key\value under HKLM.
  std::map<std::string, std::optional<std::string>> registryAtEnd;
  // Each device's WinBio\Configurations key under HKLM.
  std::map<std::string, std::string> configurationKeys;
  // The kind of each handle of the service still open once wmain returned,
  // apart from those it leaves for the system to close with the process.
  std::vector<std::string> handlesLeftOpen;
  bool biometricServiceRunningAtStart = true;
  bool biometricServiceRunningAtEnd = true;
  // What SecureFingerprint should read for the firmware state at the end.
  std::uint32_t secureFingerprintCalledFor = 0;
};

}  // namespace scenario
