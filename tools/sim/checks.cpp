#include "tools/sim/checks.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>

#include "tools/sim/pattern.h"

namespace scenario {
namespace {

std::string RegistryPath(const Expectation& e, const RunResult& run) {
  const std::string key = e.device.empty() ? e.keyPath : run.configurationKeys.at(e.device);
  return key + "\\" + e.valueName;
}

// The value a registry expectation wants, as the run writes values.
std::string ExpectedValue(const Expectation& e) {
  switch (e.registry) {
    case Expectation::Registry::kMissing:
      return "missing";
    case Expectation::Registry::kEmpty:
      return "empty";
    case Expectation::Registry::kEquals:
      break;
  }
  return std::to_string(e.value.number);
}

std::string Describe(const Expectation& e) {
  std::string when = e.when == Expectation::When::kAt   ? "at " + FormatTime(e.timeMs) + ": "
                     : e.when == Expectation::When::kBy ? "by " + FormatTime(e.timeMs) + ": "
                     : e.AtEnd()                        ? "at the end: "
                                                        : "";
  if (e.never) when += "never ";
  if (e.atMost) when += "at most " + std::to_string(*e.atMost) + " times ";
  switch (e.what) {
    case Expectation::What::kDebug:
    case Expectation::What::kEvent:
      return when + (e.what == Expectation::What::kDebug ? "debug " : "event ") + (e.pattern ? "~ " : "") + "\"" +
             e.text + "\"";
    case Expectation::What::kDevice:
      return when + "device " + e.device + " " + e.text;
    case Expectation::What::kCommand:
      return when + "command \"" + e.text + "\"";
    case Expectation::What::kState:
      return when + "state " + e.text;
    case Expectation::What::kRegistry:
      return when + "registry " + (e.device.empty() ? "key \"" + e.keyPath + "\"" : e.device) + " " + e.valueName +
             (e.registry == Expectation::Registry::kEquals ? " = " : " ") + ExpectedValue(e);
  }
  return when;
}

Observation::Kind KindOf(Expectation::What what) {
  switch (what) {
    case Expectation::What::kDebug:
      return Observation::Kind::kDebug;
    case Expectation::What::kEvent:
      return Observation::Kind::kEvent;
    case Expectation::What::kDevice:
      return Observation::Kind::kDevice;
    case Expectation::What::kCommand:
      return Observation::Kind::kCommand;
    case Expectation::What::kState:
      return Observation::Kind::kStatus;
    case Expectation::What::kRegistry:
      break;
  }
  return Observation::Kind::kRegistry;
}

// pattern: the expectation's pattern, compiled once for all lines.
bool Matches(const Expectation& e, const std::optional<Pattern>& pattern, const Observation& o,
             const RunResult& run) {
  if (o.kind != KindOf(e.what)) return false;
  switch (e.what) {
    case Expectation::What::kDebug:
    case Expectation::What::kEvent:
      return pattern ? pattern->FoundIn(o.subject) : o.subject == e.text;
    case Expectation::What::kDevice:
      return o.subject == e.device && o.detail == e.text;
    case Expectation::What::kCommand:
    case Expectation::What::kState:
      return o.subject == e.text;
    case Expectation::What::kRegistry:
      return SameIgnoringCase(o.subject, RegistryPath(e, run)) && o.detail == std::to_string(e.value.number);
  }
  return false;
}

bool InWindow(const Expectation& e, std::uint64_t timeMs) {
  return e.when == Expectation::When::kAnyTime || (e.when == Expectation::When::kAt && timeMs == e.timeMs) ||
         (e.when == Expectation::When::kBy && timeMs <= e.timeMs);
}

std::string TimesAndText(const std::vector<const Observation*>& seen) {
  std::string text;
  const std::size_t shown = std::min<std::size_t>(seen.size(), 3);
  for (std::size_t i = 0; i < shown; ++i)
    text += (i ? "; " : "") + FormatTime(seen[i]->timeMs) + " " +
            (seen[i]->kind == Observation::Kind::kDebug ? seen[i]->subject : seen[i]->text);
  if (seen.size() > shown) text += "; and " + std::to_string(seen.size() - shown) + " more";
  return text;
}

std::optional<ExpectationFailure> Check(const Expectation& e, const RunResult& run) {
  ExpectationFailure failure{e.line, Describe(e), ""};
  if (e.AtEnd()) {
    std::string actual;
    if (e.what == Expectation::What::kState) {
      const std::string finalState = run.processes.empty() ? "" : run.processes.back().finalState;
      actual = finalState.empty() ? "no status report" : finalState;
      if ((actual == e.text) != e.never) return std::nullopt;
      failure.happened = "final state at " + FormatTime(run.endMs) + ": " + actual;
    } else {
      const auto it = run.registryAtEnd.find(RegistryPath(e, run));
      actual = it == run.registryAtEnd.end() || !it->second ? "missing" : *it->second;
      if ((actual == ExpectedValue(e)) != e.never) return std::nullopt;
      failure.happened = "value at " + FormatTime(run.endMs) + ": " + actual;
    }
    return failure;
  }
  const std::optional<Pattern> pattern = e.pattern ? std::optional<Pattern>(e.text) : std::nullopt;
  std::vector<const Observation*> inWindow, elsewhere, sameKind;
  for (const Observation& o : run.timeline) {
    if (Matches(e, pattern, o, run))
      (InWindow(e, o.timeMs) ? inWindow : elsewhere).push_back(&o);
    else if (o.kind == KindOf(e.what) && InWindow(e, o.timeMs))
      sameKind.push_back(&o);
  }
  if (e.never || e.atMost) {
    if (inWindow.size() <= e.atMost.value_or(0)) return std::nullopt;
    failure.happened = "seen " + std::to_string(inWindow.size()) + " times, at " + TimesAndText(inWindow);
  } else {
    if (!inWindow.empty()) return std::nullopt;
    if (!elsewhere.empty()) {
      failure.happened = "seen only at " + TimesAndText(elsewhere);
    } else if (sameKind.empty()) {
      failure.happened = std::string("no ") + KindName(KindOf(e.what)) + " line in that time";
    } else {
      // The nearest lines of that kind, the latest first.
      std::reverse(sameKind.begin(), sameKind.end());
      failure.happened = "not seen; last " + std::string(KindName(KindOf(e.what))) + " lines: " + TimesAndText(sameKind);
    }
  }
  return failure;
}

// Each device's state at the end, by name.
std::map<std::string, const DeviceAtEnd*> DevicesAtEnd(const RunResult& run) {
  std::map<std::string, const DeviceAtEnd*> atEnd;
  for (const DeviceAtEnd& device : run.devices) atEnd[device.name] = &device;
  return atEnd;
}

// The sensors the ESS sync looks at: present at the end, among the first 20
// biometric devices present, a first hardware id that carries a product code
// of the sensor.
std::vector<const Device*> SyncedSensors(const Scenario& scenario,
                                         const std::map<std::string, const DeviceAtEnd*>& atEnd) {
  constexpr std::size_t kSearched = 20, kCodeOffset = 17;
  std::vector<const Device*> synced;
  std::size_t position = 0;
  for (const Device& device : scenario.devices) {
    const auto end = atEnd.find(device.name);
    if (end == atEnd.end() || !end->second->present) continue;
    if (position++ >= kSearched) break;
    if (device.hardwareIds.empty() || device.hardwareIds[0].size() < kCodeOffset + 4) continue;
    const std::string code = device.hardwareIds[0].substr(kCodeOffset, 4);
    if (code == "0A10" || code == "0A20" || code == "0A30") synced.push_back(&device);
  }
  return synced;
}

// The devices with a WinBio\Configurations value from a config line.
std::set<std::string> ConfiguredDevices(const Scenario& scenario) {
  std::set<std::string> configured;
  auto note = [&](const Action& a) {
    if (a.kind == Action::Kind::kConfig) configured.insert(a.device);
  };
  for (const Action& action : scenario.setup) note(action);
  for (const TimedAction& timed : scenario.timeline) note(timed.action);
  return configured;
}

// What the timeline shows of one device, gathered for all in one pass.
struct DeviceHistory {
  // The service's last disable, unless a person disabled or enabled the
  // device since (its state is then theirs).
  const Observation* lastDisable = nullptr;
  std::uint64_t cameBackMs = 0;  // the last time the scenario added it back, or 0
  std::vector<const Observation*> refusedEnables;
  // Each enable by the service while a person's disable stood: the person's
  // disable, then the enable.
  std::vector<std::pair<const Observation*, const Observation*>> enabledAgainstPerson;
};

std::map<std::string, DeviceHistory> DeviceHistories(const RunResult& run) {
  // What the scenario noted it did to a device: "add NAME", and a person's
  // "disable NAME" or "enable NAME" in Device Manager.
  static const std::string kAdd = "add ", kDisable = "disable ", kEnable = "enable ";
  const auto named = [](const Observation& o, const std::string& prefix) {
    return o.kind == Observation::Kind::kControl && o.subject.compare(0, prefix.size(), prefix) == 0;
  };
  std::map<std::string, DeviceHistory> histories;
  std::map<std::string, const Observation*> disabledByPerson;
  for (const Observation& o : run.timeline) {
    if (named(o, kAdd)) {
      histories[o.subject.substr(kAdd.size())].cameBackMs = o.timeMs;
    } else if (named(o, kDisable) || named(o, kEnable)) {
      const bool disable = named(o, kDisable);
      const std::string device = o.subject.substr((disable ? kDisable : kEnable).size());
      histories[device].lastDisable = nullptr;
      disabledByPerson[device] = disable ? &o : nullptr;
    } else if (o.kind == Observation::Kind::kDevice && o.detail == "disable") {
      histories[o.subject].lastDisable = &o;
    } else if (o.kind == Observation::Kind::kDevice && o.detail == "enable refused") {
      histories[o.subject].refusedEnables.push_back(&o);
    } else if (o.kind == Observation::Kind::kDevice && o.detail == "enable") {
      const auto person = disabledByPerson.find(o.subject);
      if (person != disabledByPerson.end() && person->second != nullptr)
        histories[o.subject].enabledAgainstPerson.emplace_back(person->second, &o);
    }
  }
  return histories;
}

// What the main thread logs once the dispatcher has returned.
const char* const kWmainLastLines[] = {"[ZEFO Service] Enter CServiceBase Destructor...", "[ZEFO Service] Eixt wmain..."};
// How long a recovery or a biometric-service restart of a still running
// service may take before a run's end judges what it left.
constexpr std::uint64_t kSettleMs = 45000;

}  // namespace

const char* KindName(Observation::Kind kind) {
  switch (kind) {
    case Observation::Kind::kDebug:
      return "debug";
    case Observation::Kind::kStatus:
      return "status";
    case Observation::Kind::kDevice:
      return "device";
    case Observation::Kind::kRegistry:
      return "registry";
    case Observation::Kind::kCommand:
      return "command";
    case Observation::Kind::kEvent:
      return "event";
    case Observation::Kind::kTrace:
      return "trace";
    case Observation::Kind::kMachine:
      return "machine";
    case Observation::Kind::kControl:
      break;
  }
  return "scenario";
}

std::vector<ExpectationFailure> CheckExpectations(const Scenario& scenario, const RunResult& run,
                                                  std::optional<std::uint64_t> before) {
  std::vector<ExpectationFailure> failures;
  for (const Expectation& e : scenario.expectations) {
    if (before && (e.when == Expectation::When::kAnyTime || e.timeMs >= *before)) continue;
    if (auto failure = Check(e, run)) failures.push_back(*failure);
  }
  return failures;
}

PromiseCheck CheckPromises(const Scenario& scenario, const RunResult& run) {
  PromiseCheck check;
  std::vector<Violation>& violations = check.broken;
  // The last stop each process's handler got, and the last shutdown the SCM
  // took for it (a busy handler may keep it from being delivered).
  std::vector<const ControlSent*> stop(run.processes.size(), nullptr), shutdown(run.processes.size(), nullptr);
  for (const ControlSent& sent : run.controls) {
    if (sent.lifecycle && sent.process >= 0) {
      auto& last = sent.what == "stop" ? stop : shutdown;
      if (sent.what == "stop" ? sent.delivered : sent.queued) last[static_cast<std::size_t>(sent.process)] = &sent;
    }
    if (!sent.delivered) continue;
    if (sent.lifecycle)
      check.longestStopHandlerMs = std::max(check.longestStopHandlerMs.value_or(0), sent.handlerMs);
    if (sent.handlerMs >= kHandlerLimitMs)
      violations.push_back({"control handler back within 30 s", sent.what + " at " + FormatTime(sent.atMs) +
                                                                   ": handler returned after " +
                                                                   FormatTime(sent.handlerMs)});
  }
  // After a stop, STOPPED and wmain returned; after a shutdown the SCM sent,
  // STOPPED before the system ended the process (a process the system ended
  // without sending it one was not told). A process killed meanwhile could not.
  for (std::size_t i = 0; i < run.processes.size(); ++i) {
    const ServiceProcessRun& process = run.processes[i];
    if (process.end == kKilled) continue;
    const bool byShutdown =
        shutdown[i] != nullptr && (process.end == kEndedAtShutdownDeadline || stop[i] == nullptr ||
                                   stop[i]->atMs <= shutdown[i]->atMs);
    const ControlSent* judged = byShutdown ? shutdown[i] : process.end == kEndedAtShutdownDeadline ? nullptr : stop[i];
    if (judged == nullptr || (process.finalState == "STOPPED" && (byShutdown || process.endedOfItself))) continue;
    violations.push_back({"STOPPED after a stop or shutdown",
                          judged->what + " at " + FormatTime(judged->atMs) + ": last report " +
                              (process.finalState.empty() ? "none" : process.finalState) +
                              (byShutdown || process.endedOfItself ? "" : ", wmain has not returned") +
                              (process.endMs ? ", the process ended at " + FormatTime(*process.endMs) + " (" +
                                                   process.end + ")"
                                             : " at " + FormatTime(run.endMs))});
  }

  // A still running service gets time to finish what it began.
  const bool lastEnded = run.processes.empty() || run.processes.back().endMs.has_value();
  const auto settled = [&](std::uint64_t timeMs) { return lastEnded || timeMs + kSettleMs <= run.endMs; };
  const std::map<std::string, DeviceHistory> histories = DeviceHistories(run);

  // A device the service disabled is enabled again by the end; after the
  // process that disabled it was shut down or killed, by the next start. One
  // absent at the end is not judged, one that came back only from then on,
  // one a person disabled or enabled since not at all (its state is theirs).
  for (const DeviceAtEnd& device : run.devices) {
    const auto history = histories.find(device.name);
    if (!device.disabled || !device.present || history == histories.end() || !history->second.lastDisable) continue;
    const Observation* lastDisable = history->second.lastDisable;
    const std::uint64_t present = std::max(lastDisable->timeMs, history->second.cameBackMs);
    std::uint64_t judgedFrom = present;
    std::string interruption;
    if (lastDisable->process >= 0) {
      const auto disabler = static_cast<std::size_t>(lastDisable->process);
      const ServiceProcessRun& process = run.processes[disabler];
      if (process.endMs && (process.end == kKilled || process.end == kEndedAtShutdownDeadline || shutdown[disabler])) {
        // The next start's first check enables it.
        if (disabler + 1 >= run.processes.size()) continue;
        judgedFrom = std::max(judgedFrom, run.processes[disabler + 1].startMs);
        interruption = "; its process ended at " + FormatTime(*process.endMs) + " (" + process.end +
                       "), and the start at " + FormatTime(run.processes[disabler + 1].startMs) + " did not enable it";
      }
    }
    if (!settled(judgedFrom)) continue;
    std::vector<const Observation*> refused;
    for (const Observation* o : history->second.refusedEnables)
      if (o->timeMs >= present) refused.push_back(o);
    const std::string what = device.name + " disabled at " + FormatTime(lastDisable->timeMs) + ", still disabled at " +
                             FormatTime(run.endMs);
    if (refused.empty())
      violations.push_back({"every sensor the service disabled is enabled again", what + interruption});
    else
      check.machineRefusals.push_back({"every sensor the service disabled is enabled again",
                                       what + ": the machine refused each of its " + std::to_string(refused.size()) +
                                           " enables (" + refused.back()->text + ")"});
  }

  // The service never enables a device a person disabled, whatever it finds
  // on record.
  for (const Device& device : scenario.devices) {
    const auto history = histories.find(device.name);
    if (history == histories.end()) continue;
    for (const auto& [disable, enable] : history->second.enabledAgainstPerson)
      violations.push_back({"a device a person disabled stays disabled",
                            device.name + " disabled by a person at " + FormatTime(disable->timeMs) +
                                ", enabled by the service at " + FormatTime(enable->timeMs)});
  }

  // Not judged while the machine goes down.
  if (run.biometricServiceRunningAtStart && !run.biometricServiceRunningAtEnd && !run.shutDownAtEnd) {
    std::uint64_t lastStop = 0;
    for (const Observation& o : run.timeline)
      if (o.kind == Observation::Kind::kCommand && o.subject == "sc stop WbioSrvc") lastStop = o.timeMs;
    if (settled(lastStop))
      violations.push_back({"WbioSrvc running at the end", "\"sc stop WbioSrvc\" at " + FormatTime(lastStop) +
                                                              " and no \"sc start WbioSrvc\" after it"});
  }

  // Against the firmware as the service last read it while the sensor was
  // there, once the sync that read began had time to finish: its process
  // ran on past the settle time, or ended of itself. A read the machine
  // failed by an injected fault saw no firmware. The reads are in time order.
  const EssStateRead* lastRead = nullptr;
  for (const EssStateRead& r : run.essStateReads)
    if (!r.injected && r.process >= 0) lastRead = &r;
  const auto atEnd = DevicesAtEnd(run);
  const std::set<std::string> configured = ConfiguredDevices(scenario);
  for (const Device* device : SyncedSensors(scenario, atEnd)) {
    if (!configured.count(device->name)) continue;
    const auto history = histories.find(device->name);
    const std::uint64_t present = history == histories.end() ? 0 : history->second.cameBackMs;
    if (lastRead == nullptr || lastRead->timeMs < present) continue;
    const ServiceProcessRun& reader = run.processes[static_cast<std::size_t>(lastRead->process)];
    const bool finished = reader.endMs ? reader.endedOfItself || *reader.endMs >= lastRead->timeMs + kSettleMs
                                       : lastRead->timeMs + kSettleMs <= run.endMs;
    const std::optional<std::uint32_t>& secureFingerprint = atEnd.at(device->name)->secureFingerprint;
    if (finished && secureFingerprint != lastRead->callsFor)
      violations.push_back(
          {"SecureFingerprint as the firmware calls for",
           device->name + ": " + (secureFingerprint ? std::to_string(*secureFingerprint) : "missing") +
               ", the firmware read at " + FormatTime(lastRead->timeMs) + " calls for " +
               std::to_string(lastRead->callsFor)});
  }

  for (const ServiceProcessRun& process : run.processes) {
    if (!process.endedOfItself || process.handlesLeftOpen.empty()) continue;
    std::string kinds;
    for (const std::string& kind : process.handlesLeftOpen) kinds += (kinds.empty() ? "" : ", ") + kind;
    violations.push_back({"no handle left open after the service stopped",
                          std::to_string(process.handlesLeftOpen.size()) + " handle(s) open once wmain returned at " +
                              FormatTime(*process.endMs) + ": " + kinds});
  }

  // Each process's final status report, then what it logged after a final STOPPED.
  std::vector<const Observation*> finalReport(run.processes.size(), nullptr);
  const auto ofProcess = [&](const Observation& o) {
    return o.process >= 0 && static_cast<std::size_t>(o.process) < run.processes.size();
  };
  for (const Observation& o : run.timeline)
    if (o.kind == Observation::Kind::kStatus && ofProcess(o)) finalReport[static_cast<std::size_t>(o.process)] = &o;
  for (const Observation& o : run.timeline) {
    if (!ofProcess(o) || o.kind != Observation::Kind::kDebug) continue;
    const Observation* report = finalReport[static_cast<std::size_t>(o.process)];
    if (report != nullptr && report->subject == "STOPPED" && &o > report &&
        std::find(std::begin(kWmainLastLines), std::end(kWmainLastLines), o.subject) == std::end(kWmainLastLines))
      violations.push_back({"nothing logged after the final status report but wmain's last lines",
                            FormatTime(o.timeMs) + " " + o.subject});
  }
  return check;
}

}  // namespace scenario
