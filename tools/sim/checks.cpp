#include "tools/sim/checks.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <regex>

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

// pattern: the expectation's regular expression, compiled once for all lines.
bool Matches(const Expectation& e, const std::optional<std::regex>& pattern, const Observation& o,
             const RunResult& run) {
  if (o.kind != KindOf(e.what)) return false;
  switch (e.what) {
    case Expectation::What::kDebug:
    case Expectation::What::kEvent:
      return pattern ? std::regex_search(o.subject, *pattern) : o.subject == e.text;
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
  const std::optional<std::regex> pattern = e.pattern ? std::optional<std::regex>(e.text) : std::nullopt;
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

// A sensor the ESS sync looks at: present at the end, among the first 20
// biometric devices present, a first hardware id that carries a product code
// of the sensor.
bool SyncedSensor(const Scenario& scenario, const RunResult& run, const Device& device) {
  constexpr std::size_t kSearched = 20, kCodeOffset = 17;
  std::size_t position = 0;
  for (const Device& d : scenario.devices) {
    const auto end = std::find_if(run.devices.begin(), run.devices.end(),
                                  [&](const DeviceAtEnd& e) { return e.name == d.name; });
    if (end == run.devices.end() || !end->present) {
      if (&d == &device) return false;
      continue;
    }
    if (&d == &device) break;
    ++position;
  }
  if (position >= kSearched || device.hardwareIds.empty() || device.hardwareIds[0].size() < kCodeOffset + 4)
    return false;
  const std::string code = device.hardwareIds[0].substr(kCodeOffset, 4);
  return code == "0A10" || code == "0A20" || code == "0A30";
}

bool HasConfigurations(const Scenario& scenario, const std::string& device) {
  auto isConfig = [&](const Action& a) { return a.kind == Action::Kind::kConfig && a.device == device; };
  return std::any_of(scenario.setup.begin(), scenario.setup.end(), isConfig) ||
         std::any_of(scenario.timeline.begin(), scenario.timeline.end(),
                     [&](const TimedAction& t) { return isConfig(t.action); });
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
  // The last time the scenario added the device back, or 0.
  const auto cameBack = [&](const std::string& device) {
    std::uint64_t at = 0;
    for (const Observation& o : run.timeline)
      if (o.kind == Observation::Kind::kControl && o.subject == "add " + device) at = o.timeMs;
    return at;
  };

  // A person's disable or enable of the device in Device Manager, as the
  // scenario noted it.
  const auto byPerson = [](const Observation& o, const std::string& change, const std::string& device) {
    return o.kind == Observation::Kind::kControl && o.subject == change + " " + device;
  };

  // A device the service disabled is enabled again by the end; after the
  // process that disabled it was shut down or killed, by the next start. One
  // absent at the end is not judged, one that came back only from then on,
  // one a person disabled or enabled since not at all (its state is theirs).
  for (const DeviceAtEnd& device : run.devices) {
    if (!device.disabled || !device.present) continue;
    const Observation* lastDisable = nullptr;
    for (const Observation& o : run.timeline) {
      if (o.kind == Observation::Kind::kDevice && o.subject == device.name && o.detail == "disable") lastDisable = &o;
      if (byPerson(o, "disable", device.name) || byPerson(o, "enable", device.name)) lastDisable = nullptr;
    }
    if (lastDisable == nullptr) continue;
    const std::uint64_t present = std::max(lastDisable->timeMs, cameBack(device.name));
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
    for (const Observation& o : run.timeline)
      if (o.kind == Observation::Kind::kDevice && o.subject == device.name && o.detail == "enable refused" &&
          o.timeMs >= present)
        refused.push_back(&o);
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
    const Observation* disabledByPerson = nullptr;
    for (const Observation& o : run.timeline) {
      if (byPerson(o, "disable", device.name)) disabledByPerson = &o;
      if (byPerson(o, "enable", device.name)) disabledByPerson = nullptr;
      if (disabledByPerson && o.kind == Observation::Kind::kDevice && o.subject == device.name && o.detail == "enable")
        violations.push_back({"a device a person disabled stays disabled",
                              device.name + " disabled by a person at " + FormatTime(disabledByPerson->timeMs) +
                                  ", enabled by the service at " + FormatTime(o.timeMs)});
    }
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
  // failed by an injected fault saw no firmware.
  for (const Device& device : scenario.devices) {
    if (!SyncedSensor(scenario, run, device) || !HasConfigurations(scenario, device.name)) continue;
    const std::uint64_t present = cameBack(device.name);
    const EssStateRead* read = nullptr;
    for (const EssStateRead& r : run.essStateReads)
      if (!r.injected && r.timeMs >= present && r.process >= 0) read = &r;
    const auto it = std::find_if(run.devices.begin(), run.devices.end(),
                                 [&](const DeviceAtEnd& d) { return d.name == device.name; });
    if (read == nullptr || it == run.devices.end()) continue;
    const ServiceProcessRun& reader = run.processes[static_cast<std::size_t>(read->process)];
    const bool finished = reader.endMs ? reader.endedOfItself || *reader.endMs >= read->timeMs + kSettleMs
                                       : read->timeMs + kSettleMs <= run.endMs;
    if (finished && it->secureFingerprint != read->callsFor)
      violations.push_back(
          {"SecureFingerprint as the firmware calls for",
           device.name + ": " + (it->secureFingerprint ? std::to_string(*it->secureFingerprint) : "missing") +
               ", the firmware read at " + FormatTime(read->timeMs) + " calls for " + std::to_string(read->callsFor)});
  }

  for (const ServiceProcessRun& process : run.processes) {
    if (!process.endedOfItself || process.handlesLeftOpen.empty()) continue;
    std::string kinds;
    for (const std::string& kind : process.handlesLeftOpen) kinds += (kinds.empty() ? "" : ", ") + kind;
    violations.push_back({"no handle left open after the service stopped",
                          std::to_string(process.handlesLeftOpen.size()) + " handle(s) open once wmain returned at " +
                              FormatTime(*process.endMs) + ": " + kinds});
  }

  for (int process = 0; process < static_cast<int>(run.processes.size()); ++process) {
    const auto finalReport = std::find_if(run.timeline.rbegin(), run.timeline.rend(), [&](const Observation& o) {
      return o.kind == Observation::Kind::kStatus && o.process == process;
    });
    if (finalReport == run.timeline.rend() || finalReport->subject != "STOPPED") continue;
    for (auto it = finalReport.base(); it != run.timeline.end(); ++it)
      if (it->process == process && it->kind == Observation::Kind::kDebug &&
          std::find(std::begin(kWmainLastLines), std::end(kWmainLastLines), it->subject) == std::end(kWmainLastLines))
        violations.push_back({"nothing logged after the final status report but wmain's last lines",
                              FormatTime(it->timeMs) + " " + it->subject});
  }
  return check;
}

}  // namespace scenario
