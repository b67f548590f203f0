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
  int process = -1;     // the service process it happened in (index in RunResult::processes); -1: none ran
};

const char* KindName(Observation::Kind kind);

// One control the run sent towards the service, and how it went. The SCM
// may hold it while another handler runs; handlerMs counts from the call of
// the handler.
struct ControlSent {
  std::uint64_t atMs = 0;
  std::string what;             // "stop", "shutdown", "lid open", ...
  bool lifecycle = false;       // a stop or a shutdown
  bool queued = false;          // the SCM took it, to send in its turn (it was not refused at once)
  bool delivered = false;       // the handler was called
  std::uint64_t deliveredAtMs = 0;
  // Machine time the handler ran, up to its process's end or the end of the
  // run if it never returned.
  std::uint64_t handlerMs = 0;
  bool returned = false;        // the handler returned
  std::string refusal;          // why it was not delivered
  int process = -1;             // the service process running when it was sent
};

// How a killed service process ended, and one the system ended at the
// shutdown deadline, as ServiceProcessRun::end says.
constexpr char kKilled[] = "TerminateProcess";
constexpr char kEndedAtShutdownDeadline[] = "the shutdown deadline passed";

// One service process of the run, from the SCM's start to its end.
struct ServiceProcessRun {
  std::uint64_t startMs = 0;
  std::optional<std::uint64_t> endMs;  // none: it still ran at the end of the run
  // How it ended, as the machine's journal says ("main thread returned",
  // "ExitProcess", "TerminateProcess", "the shutdown deadline passed").
  std::string end;
  bool endedOfItself = false;  // its main thread returned, or it called ExitProcess
  std::string finalState;      // its last status report; "" when none
  bool reachedRunning = false;
  // The kind of each handle still open once it ended of itself, apart from
  // those it leaves for the system to close with the process.
  std::vector<std::string> handlesLeftOpen;
};

// One read of the firmware's EssState by the service, as it saw it.
struct EssStateRead {
  std::uint64_t timeMs = 0;
  int process = -1;
  bool injected = false;  // a fault the machine was told to make: the service saw no firmware
  std::uint32_t callsFor = 0;  // the SecureFingerprint it calls for: 1 when read with first byte 1, else 0
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
  std::vector<ServiceProcessRun> processes;  // in order; none when the service never started
  std::vector<DeviceAtEnd> devices;
  // Registry values the expectations read at the end, by key\value under HKLM.
  std::map<std::string, std::optional<std::string>> registryAtEnd;
  // Each device's WinBio\Configurations key under HKLM.
  std::map<std::string, std::string> configurationKeys;
  bool biometricServiceRunningAtStart = true;
  bool biometricServiceRunningAtEnd = true;
  bool shutDownAtEnd = false;  // a shutdown began and no boot followed it
  std::vector<EssStateRead> essStateReads;
};

}  // namespace scenario
