#include "tools/sim/soak.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>

#include "tools/sim/checked_run.h"

namespace scenario {
namespace {

constexpr double kHourMs = 3600000.0;
constexpr std::uint64_t kFirstEventMs = 10000;  // the service is up by then
constexpr std::uint64_t kShortestBootMs = 4 * 3600000, kLongestBootMs = 16 * 3600000;
constexpr double kStopInsteadOfShutdown = 0.1;  // an update stops the service before the night
constexpr double kFirmwareUpdatePerBoot = 0.05;  // it flips the firmware's ESS state

const char kLaptop[] = R"(setting LOG_SWITCH = 1
device reader "Other Fingerprint Reader" ids USB\VID_5678&PID_1111
device sensor "ZEFO Fingerprint Sensor" ids USB\VID_1234&PID_0A20&REV_0001 USB\VID_1234&PID_0A20
config sensor SecureFingerprint = 0
firmware EssState = 01
sc-time 1.5s
)";

// Draws from a 64-bit Mersenne twister by hand rather than through the
// standard distributions, whose results differ between libraries: one seed
// gives one schedule everywhere.
class Draw {
 public:
  explicit Draw(std::mt19937_64& rng) : rng_(rng) {}
  double Unit() { return static_cast<double>(rng_() >> 11) * 0x1.0p-53; }
  bool Chance(double p) { return Unit() < p; }
  std::uint64_t Below(std::uint64_t n) { return rng_() % n; }
  std::uint64_t Between(std::uint64_t low, std::uint64_t high) { return low + Below(high - low + 1); }
  // The wait until the next event of a process that happens meanMs apart on average.
  std::uint64_t WaitMs(double meanMs) { return static_cast<std::uint64_t>(-std::log1p(-Unit()) * meanMs) + 1; }
  template <class T, std::size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(N)];
  }

 private:
  std::mt19937_64& rng_;
};

Action Make(Action::Kind kind, unsigned long number = 0, std::string name = {}, std::string device = {}) {
  Action action;
  action.kind = kind;
  action.number = number;
  action.name = std::move(name);
  action.device = std::move(device);
  return action;
}

// Something that happens to a laptop now and then, and what undoes it a
// while later (a lid opened again, a sensor that a driver reload brings back).
struct Occurrence {
  double perHour;
  double undoneAfterMeanMs;  // 0: nothing undoes it
};

// Sensor problem codes: 43 (the driver reported a failure) and 31 (not
// working properly) most often, and now and then others.
const unsigned long kProblems[] = {43, 43, 43, 31, 31, 10, 28, 24};
// How often a problem's cause outlives the restarts a recovery makes, until
// the problem is cleared.
constexpr double kProblemPersists = 0.3;

struct FaultKind {
  const char* operation;
  unsigned long error;
};
// Calls that fail now and then on a running laptop: out of memory or
// resources, a device gone between two calls, a busy registry.
const FaultKind kFaults[] = {
    {"SetupDiGetClassDevsW", 8},                // ERROR_NOT_ENOUGH_MEMORY
    {"SetupDiEnumDeviceInfo", 31},              // ERROR_GEN_FAILURE
    {"SetupDiGetDeviceRegistryPropertyW", 31},  //
    {"CM_Get_DevNode_Status", 13},              // CR_NO_SUCH_DEVNODE
    {"SetupDiCallClassInstaller", 31},          //
    {"SetupDiOpenDevRegKey", 31},               //
    {"GetFirmwareEnvironmentVariableW", 1450},  // ERROR_NO_SYSTEM_RESOURCES
    {"CreateProcessW", 8},                      //
    {"RegQueryValueExW", 31},                   //
    {"RegSetValueExW", 5},                      // ERROR_ACCESS_DENIED
};

class BootTimeline {
 public:
  BootTimeline(const Scenario& machine, Draw& draw, std::uint64_t lengthMs)
      : machine_(machine), draw_(draw), lengthMs_(lengthMs) {}

  std::vector<TimedAction> Events() {
    Add(0, Make(Action::Kind::kStart));
    Occurring({0.4, 30 * 60000.0}, [] { return Make(Action::Kind::kLid, 0); }, [] { return Make(Action::Kind::kLid, 1); });
    Occurring({1.0, 10 * 60000.0}, [] { return Make(Action::Kind::kDisplay, 0); },
              [] { return Make(Action::Kind::kDisplay, 1); });
    Occurring({0.5, 60000.0}, [] { return Make(Action::Kind::kDisplay, 2); },
              [] { return Make(Action::Kind::kDisplay, 1); });
    Occurring({1.0, 15 * 60000.0}, [] { return Make(Action::Kind::kSession, 0, "lock"); },
              [] { return Make(Action::Kind::kSession, 0, "unlock"); });
    Occurring({0.05, 2 * 60000.0}, [] { return Make(Action::Kind::kSession, 0, "logoff"); },
              [] { return Make(Action::Kind::kSession, 0, "logon"); });
    for (const Device& device : machine_.devices) {
      Occurring({0.2, 10 * 60000.0},
                [&] {
                  Action problem = Make(Action::Kind::kProblem, draw_.Pick(kProblems), {}, device.name);
                  problem.persists = draw_.Chance(kProblemPersists);
                  return problem;
                },
                [&] { return Make(Action::Kind::kProblem, 0, {}, device.name); });
      // Unplugged or reset, and its driver attaching as it comes back.
      Occurring({0.1, 60000.0}, [&] { return Make(Action::Kind::kRemoveDevice, 0, {}, device.name); }, [&] {
        return Make(Action::Kind::kAddDevice, 0, {}, device.name);
      });
    }
    for (std::uint64_t at = Next(kFirstEventMs, 0.2); at < lengthMs_; at = Next(at, 0.2)) {
      const FaultKind& fault = draw_.Pick(kFaults);
      Add(at, Make(Action::Kind::kFault, fault.error, fault.operation));
    }
    Add(lengthMs_, Make(draw_.Chance(kStopInsteadOfShutdown) ? Action::Kind::kStop : Action::Kind::kShutdown));
    std::stable_sort(timeline_.begin(), timeline_.end(),
                     [](const TimedAction& a, const TimedAction& b) { return a.atMs < b.atMs; });
    return std::move(timeline_);
  }

 private:
  std::uint64_t Next(std::uint64_t after, double perHour) { return after + draw_.WaitMs(kHourMs / perHour); }

  void Add(std::uint64_t atMs, Action action) { timeline_.push_back({atMs, std::move(action)}); }

  template <class Happen, class Undo>
  void Occurring(Occurrence occurrence, Happen happen, Undo undo) {
    // The next one once this one is undone: no lock of a locked session.
    for (std::uint64_t at = Next(kFirstEventMs, occurrence.perHour), undoneAt = 0; at < lengthMs_;
         at = Next(undoneAt, occurrence.perHour)) {
      const Action action = happen();
      Add(at, action);
      undoneAt = at + draw_.WaitMs(occurrence.undoneAfterMeanMs);
      if (undoneAt >= lengthMs_) break;
      Add(undoneAt, undo());
      // The driver sets its attach signal once the device is back.
      if (action.kind == Action::Kind::kRemoveDevice && undoneAt + 2000 < lengthMs_)
        Add(undoneAt + 2000, Make(Action::Kind::kDriverAttach));
    }
  }

  const Scenario& machine_;
  Draw& draw_;
  std::uint64_t lengthMs_;
  std::vector<TimedAction> timeline_;
};

bool SameSetupValue(const Action& a, const Action& b) {
  const auto firmware = [](Action::Kind k) { return k == Action::Kind::kFirmware || k == Action::Kind::kFirmwareMissing; };
  return (a.kind == b.kind || (firmware(a.kind) && firmware(b.kind))) && a.device == b.device && a.name == b.name;
}

// What a reboot keeps: the setup line for that value now says what the last
// boot left.
void Keep(Scenario& machine, Action line) {
  const auto it = std::find_if(machine.setup.begin(), machine.setup.end(),
                               [&](const Action& a) { return SameSetupValue(a, line); });
  if (it == machine.setup.end())
    machine.setup.push_back(std::move(line));
  else
    *it = std::move(line);
}

void FlipEssState(Scenario& machine) {
  Action essState = Make(Action::Kind::kFirmware, 0, "EssState");
  const auto it = std::find_if(machine.setup.begin(), machine.setup.end(),
                               [&](const Action& a) { return SameSetupValue(a, essState); });
  const bool on = it != machine.setup.end() && it->kind == Action::Kind::kFirmware && !it->bytes.empty() &&
                  it->bytes[0] == 1;
  essState.bytes = {static_cast<std::uint8_t>(on ? 0 : 1)};
  Keep(machine, essState);
}

std::string HoursText(double hours) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", hours);
  return text;
}

}  // namespace

Scenario SoakLaptop() { return ParseScenario(kLaptop, "the soak's laptop"); }

Scenario SoakBoot(const Scenario& machine, std::mt19937_64& rng, std::uint64_t lengthMs) {
  Draw draw(rng);
  Scenario boot = machine;
  boot.expectations.clear();
  boot.endMs.reset();
  if (draw.Chance(kFirmwareUpdatePerBoot)) FlipEssState(boot);
  boot.timeline = BootTimeline(boot, draw, lengthMs).Events();
  return boot;
}

Soak RunSoak(const Scenario& machine, const std::string& path, double hours, std::uint64_t seed) {
  const auto realStart = std::chrono::steady_clock::now();
  std::mt19937_64 rng(seed);
  Scenario laptop = machine;
  const auto totalMs = static_cast<std::uint64_t>(hours * kHourMs);
  Soak soak;
  while (soak.simulatedMs < totalMs) {
    // Its length first, so that a shorter soak draws the same boots up to its end.
    const std::uint64_t drawn = Draw(rng).Between(kShortestBootMs, kLongestBootMs);
    const std::uint64_t lengthMs = std::min(drawn, totalMs - soak.simulatedMs);
    Scenario boot = SoakBoot(laptop, rng, lengthMs);
    const CheckedRun run = RunCheckedInFreshProcess(boot, std::nullopt);
    ++soak.boots;
    soak.events += boot.timeline.size();
    const std::uint64_t startMs = soak.simulatedMs;
    soak.simulatedMs += lengthMs;
    const double endHours = std::ceil(static_cast<double>(soak.simulatedMs) / kHourMs);
    const std::string replay = "zefo_sim --soak " + HoursText(endHours) + " --seed " + std::to_string(seed) +
                               (path.empty() ? "" : " " + path);
    for (const Violation& v : run.violations)
      soak.findings.push_back({{v.promise, "boot " + std::to_string(soak.boots) + " (from " + FormatTime(startMs) +
                                               " of the soak): " + v.detail},
                               replay});
    soak.violatingBoots += !run.violations.empty();
    laptop.setup = boot.setup;
    for (const auto& [device, value] : run.secureFingerprints) {
      if (!value) continue;
      Action config = Make(Action::Kind::kConfig, 0, "SecureFingerprint", device);
      config.value.number = *value;
      Keep(laptop, config);
    }
  }
  soak.realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
  return soak;
}

void PrintSoak(std::FILE* out, const Soak& soak, double hours, std::uint64_t seed) {
  const double simulatedHours = static_cast<double>(soak.simulatedMs) / kHourMs;
  const double perSecond = soak.realSeconds > 0 ? simulatedHours / soak.realSeconds : 0;
  std::fprintf(out,
               "soak %s h, seed %llu: %d boots, %zu events, %d violating boots; %.0f simulated hours per real second "
               "(%.0f per real minute)\n",
               HoursText(hours).c_str(), static_cast<unsigned long long>(seed), soak.boots, soak.events,
               soak.violatingBoots, perSecond, perSecond * 60);
  PrintFindings(out, soak.findings);
}

}  // namespace scenario
