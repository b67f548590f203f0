#include "tools/sim/timeline_svg.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <regex>
#include <set>
#include <utility>

#include "tools/sim/report.h"

namespace scenario {
namespace {

// Geometry in SVG user units (pixels).
constexpr double kWidth = 1200;
constexpr double kPlotLeft = 170;    // lane names to its left
constexpr double kPlotRight = 1130;  // room to its right for the last tick's label
constexpr double kMinSpanPx = 3;     // a one-second recovery in a ten-hour run stays visible
constexpr double kFontSize = 11;
constexpr int kLabelRows = 3;
constexpr double kRowHeight = 13;
constexpr double kBarHeight = 16;
constexpr double kLabelGap = 3;      // between a tick and its label
constexpr double kLabelSpacing = 6;  // between two labels of a row
constexpr std::size_t kMaxLabelChars = 32;
constexpr std::uint64_t kMaxTickIntervals = 10;

constexpr std::uint64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute, kDay = 24 * kHour;
// The round lengths an axis is ticked at, shortest first.
constexpr std::uint64_t kRoundSteps[] = {
    1,           2,           5,           10,          20,          50,           100,
    200,         500,         kSecond,     2 * kSecond, 5 * kSecond, 10 * kSecond, 15 * kSecond,
    30 * kSecond, kMinute,    2 * kMinute, 5 * kMinute, 10 * kMinute, 15 * kMinute, 30 * kMinute,
    kHour,       2 * kHour,   6 * kHour,   12 * kHour,  kDay,        2 * kDay,     5 * kDay,
    10 * kDay,   20 * kDay,   50 * kDay,   100 * kDay};
constexpr std::uint64_t kLongestRoundStep = 100 * kDay;

// The shortest round length at least `ms`.
std::uint64_t RoundLength(std::uint64_t ms) {
  for (std::uint64_t step : kRoundSteps)
    if (step >= ms) return step;
  return (ms + kLongestRoundStep - 1) / kLongestRoundStep * kLongestRoundStep;
}

// The axis step for a stretch: the shortest round length that needs no more
// than kMaxTickIntervals ticks.
std::uint64_t TickStep(std::uint64_t spanMs) {
  return RoundLength((spanMs + kMaxTickIntervals - 1) / kMaxTickIntervals);
}

// "4:01:00" on a whole-second axis, "4:00:01.500" below it.
std::string TickText(std::uint64_t timeMs, std::uint64_t stepMs) {
  const std::string text = FormatTime(timeMs);
  return stepMs % kSecond == 0 ? text.substr(0, text.size() - 4) : text;
}

// Text as XML character data; control characters XML does not allow become '?'.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '&')
      out += "&amp;";
    else if (c == '"')
      out += "&quot;";
    else if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t')
      out += '?';
    else
      out += c;
  }
  return out;
}

bool StartsCharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

std::size_t Characters(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), StartsCharacter));
}

// Wider than most sans-serif letters: labels measured with it do not touch.
double TextWidth(const std::string& text, double fontSize = kFontSize) {
  return 0.62 * fontSize * static_cast<double>(Characters(text));
}

std::string Shortened(const std::string& text, std::size_t most = kMaxLabelChars) {
  if (Characters(text) <= most) return text;
  std::string out;
  std::size_t kept = 0;
  for (char c : text) {
    if (StartsCharacter(c) && kept++ == most - 3) break;
    out += c;
  }
  return out + "...";
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string At(std::uint64_t timeMs, const std::string& what) { return FormatTime(timeMs) + " " + what; }

std::string During(const std::string& what, std::uint64_t fromMs, std::uint64_t toMs) {
  return what + " from " + FormatTime(fromMs) + " to " + FormatTime(toMs);
}

struct Attribute {
  Attribute(const char* name, std::string value) : name(name), value(std::move(value)) {}
  Attribute(const char* name, const char* value) : name(name), value(value) {}
  Attribute(const char* name, double value) : name(name), value(Number(value)) {}
  std::string name;
  std::string value;
};

std::string StartTag(const char* name, std::initializer_list<Attribute> attributes) {
  std::string tag = std::string("<") + name;
  for (const Attribute& attribute : attributes) tag += " " + attribute.name + "=\"" + Escaped(attribute.value) + "\"";
  return tag + ">";
}

// One SVG element: its attributes in order, then its text and its tooltip.
std::string Tag(const char* name, std::initializer_list<Attribute> attributes, const std::string& text = "",
                const std::string& tooltip = "") {
  const std::string start = StartTag(name, attributes);
  const std::string inner = Escaped(text) + (tooltip.empty() ? "" : "<title>" + Escaped(tooltip) + "</title>");
  if (inner.empty()) return start.substr(0, start.size() - 1) + "/>\n";
  return start + inner + "</" + name + ">\n";
}

// A triangle pointing down at x, from top to bottom.
std::string Triangle(double x, double top, double bottom) {
  const double half = (bottom - top) / 3;
  return "M" + Number(x - half) + "," + Number(top) + " L" + Number(x + half) + "," + Number(top) + " L" + Number(x) +
         "," + Number(bottom) + " Z";
}

// Every mark and colour the picture uses, in the legend's order.
enum class Style {
  kStartPending, kRunning, kStopPending, kStopped, kOtherState, kProcessGone,
  kEnabled, kDisabled, kAbsent, kProblem, kDeviceRefusal,
  kDelivered, kNotDelivered, kScenarioAction, kCommand, kServiceWrite, kScenarioWrite,
  kFailedExpectation, kBrokenPromise, kZoomed,
};

enum class Shape { kSpan, kTick, kCheck, kBand };

struct Look {
  const char* name;    // its class in the SVG
  Shape shape;
  const char* colour;  // fill of a span or band, stroke of a tick or check
  const char* legend;
  bool dashed = false;
};

const Look& LookOf(Style style) {
  static const Look kLooks[] = {
      {"start-pending", Shape::kSpan, "#ffd54f", "service start pending"},
      {"running", Shape::kSpan, "#66bb6a", "service running"},
      {"stop-pending", Shape::kSpan, "#ffa726", "service stop pending"},
      {"stopped", Shape::kSpan, "#bdbdbd", "service stopped"},
      {"other-state", Shape::kSpan, "#ce93d8", "service paused or continuing"},
      {"process-gone", Shape::kSpan, "#a1887f", "service process gone without reporting stopped"},
      {"enabled", Shape::kSpan, "#c8e6c9", "device enabled"},
      {"disabled", Shape::kSpan, "#ef5350", "device disabled"},
      {"absent", Shape::kSpan, "url(#absent)", "device absent"},
      {"problem", Shape::kTick, "#6a1b9a", "device problem (its code) or cleared"},
      {"device-refusal", Shape::kTick, "#ff6f00", "device change the machine refused"},
      {"delivered", Shape::kTick, "#1565c0", "event delivered to the service"},
      {"not-delivered", Shape::kTick, "#90a4ae", "event not delivered (refused or given up)", true},
      {"scenario-action", Shape::kTick, "#424242", "scenario action (start, kill, boot, fault, ...)"},
      {"command", Shape::kTick, "#00897b", "command run"},
      {"service-write", Shape::kTick, "#795548", "registry written by the service"},
      {"scenario-write", Shape::kTick, "#8e24aa", "registry or firmware value the scenario set"},
      {"failed-expectation", Shape::kCheck, "#d50000", "expectation failed (its scenario line)", true},
      {"broken-promise", Shape::kCheck, "#c51162", "promise broken", true},
      {"zoomed", Shape::kBand, "#1e88e5", "stretch drawn again, zoomed, below"},
  };
  return kLooks[static_cast<int>(style)];
}

const char* LabelColour(Style style) {
  if (LookOf(style).shape == Shape::kCheck) return LookOf(style).colour;
  return style == Style::kNotDelivered ? "#78909c" : "#212121";
}

// What a lane shows, on the machine clock.
struct Span {
  std::uint64_t fromMs = 0, toMs = 0;
  Style style;
  std::string text;  // written inside when it fits
  std::string title;
};

struct Mark {
  std::uint64_t atMs = 0;
  Style style;
  std::string label;
  std::string title;
};

struct Lane {
  std::string name;
  std::vector<Span> spans;
  std::vector<Mark> marks;  // in time order
};

Style StateStyle(const std::string& state) {
  if (state == "START_PENDING") return Style::kStartPending;
  if (state == "RUNNING") return Style::kRunning;
  if (state == "STOP_PENDING") return Style::kStopPending;
  if (state == "STOPPED") return Style::kStopped;
  return Style::kOtherState;
}

// "START_PENDING" as "start pending".
std::string StateWords(std::string state) {
  for (char& c : state) c = c == '_' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return state;
}

// The service: each state from its report to the next report of another
// state, or to its process's end when the process went without reporting
// STOPPED (killed, or ended at the shutdown deadline).
Lane ServiceLane(const RunResult& run) {
  Lane lane{"service", {}, {}};
  const Observation* state = nullptr;
  int reports = 0;
  auto close = [&](std::uint64_t toMs) {
    if (state == nullptr) return;
    const ServiceProcessRun* process =
        state->process >= 0 ? &run.processes.at(static_cast<std::size_t>(state->process)) : nullptr;
    const bool gone = process != nullptr && process->endMs && *process->endMs < toMs && state->subject != "STOPPED";
    const std::uint64_t untilMs = gone ? *process->endMs : toMs;
    const std::string words = StateWords(state->subject);
    lane.spans.push_back({state->timeMs, untilMs, StateStyle(state->subject), words,
                          During(words, state->timeMs, untilMs) + "\n" + state->text +
                              (reports > 1 ? "\n" + std::to_string(reports) + " reports" : "")});
    if (gone)
      lane.spans.push_back({untilMs, toMs, Style::kProcessGone, "gone: " + process->end,
                            During("no service process (" + process->end + ")", untilMs, toMs)});
  };
  for (const Observation& o : run.timeline) {
    if (o.kind != Observation::Kind::kStatus) continue;
    if (state != nullptr && o.subject == state->subject && o.process == state->process) {
      ++reports;
      continue;
    }
    close(o.timeMs);
    state = &o;
    reports = 1;
  }
  close(run.endMs);
  return lane;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t space = std::min(text.find(' ', at), text.size());
    words.push_back(text.substr(at, space - at));
    at = space + 1;
  }
  return words;
}

// What the scenario's notes on the timeline are about.
enum class NoteKind { kEvent, kProblem, kPresence, kChange };

NoteKind NoteKindOf(const std::string& note) {
  const std::string first = note.substr(0, note.find(' '));
  if (first == "problem") return NoteKind::kProblem;
  if (first == "add" || first == "remove") return NoteKind::kPresence;
  if (first == "setting" || first == "config" || first == "firmware") return NoteKind::kChange;
  return NoteKind::kEvent;
}

// A device: enabled, disabled and absent spans; its problems and the
// changes the machine refused as ticks.
Lane DeviceLane(const RunResult& run, const DeviceAtEnd& device) {
  Lane lane{"device " + device.name, {}, {}};
  // Absent from the start when the scenario adds it before it removes it, or
  // when it is absent at the end and neither happened.
  bool present = device.present;
  for (const Observation& o : run.timeline) {
    if (o.kind != Observation::Kind::kControl || NoteKindOf(o.subject) != NoteKind::kPresence ||
        Words(o.subject)[1] != device.name)
      continue;
    present = Words(o.subject)[0] == "remove";
    break;
  }
  bool disabled = false;
  auto current = [&] { return !present ? Style::kAbsent : disabled ? Style::kDisabled : Style::kEnabled; };
  Style shown = current();
  std::uint64_t since = 0;
  bool changed = false;
  auto close = [&](std::uint64_t toMs) {
    const std::string words = shown == Style::kAbsent ? "absent" : shown == Style::kDisabled ? "disabled" : "enabled";
    lane.spans.push_back({since, toMs, shown, words, During(words, since, toMs)});
  };
  auto update = [&](std::uint64_t atMs) {
    if (current() == shown) return;
    if (changed || atMs > since) close(atMs);
    shown = current();
    since = atMs;
    changed = true;
  };
  for (const Observation& o : run.timeline) {
    if (o.kind == Observation::Kind::kControl) {
      const NoteKind kind = NoteKindOf(o.subject);
      const std::vector<std::string> words = Words(o.subject);
      if ((kind != NoteKind::kProblem && kind != NoteKind::kPresence) || words[1] != device.name) continue;
      if (kind == NoteKind::kPresence) {
        present = words[0] == "add";
        update(o.timeMs);
      } else {
        std::string label = "problem";
        for (std::size_t i = 2; i < words.size(); ++i) label += " " + words[i];
        lane.marks.push_back({o.timeMs, Style::kProblem, label, At(o.timeMs, o.text)});
      }
    } else if (o.kind == Observation::Kind::kDevice && o.subject == device.name) {
      if (o.detail == "disable" || o.detail == "enable") {
        disabled = o.detail == "disable";
        update(o.timeMs);
      } else {
        lane.marks.push_back({o.timeMs, Style::kDeviceRefusal, o.detail, At(o.timeMs, o.text)});
      }
    }
  }
  close(run.endMs);
  return lane;
}

// What the scenario did: the controls it sent, as the service got them, and
// its other actions.
Lane EventLane(const RunResult& run) {
  Lane lane{"events", {}, {}};
  std::vector<bool> matched(run.controls.size(), false);
  for (const Observation& o : run.timeline) {
    if (o.kind != Observation::Kind::kControl || NoteKindOf(o.subject) != NoteKind::kEvent) continue;
    // A reboot begins with the shutdown the SCM sends.
    const std::string sent = o.subject == "reboot" ? "shutdown" : o.subject;
    const ControlSent* control = nullptr;
    for (std::size_t i = 0; i < run.controls.size() && control == nullptr; ++i) {
      if (matched[i] || run.controls[i].atMs != o.timeMs || run.controls[i].what != sent) continue;
      matched[i] = true;
      control = &run.controls[i];
    }
    Style style = Style::kScenarioAction;
    std::string title = At(o.timeMs, o.subject);
    if (control != nullptr && control->delivered) {
      style = Style::kDelivered;
      title += ", delivered at " + FormatTime(control->deliveredAtMs);
    } else if (control != nullptr) {
      style = Style::kNotDelivered;
      title += ", not delivered" + (control->refusal.empty() ? "" : ": " + control->refusal);
    }
    lane.marks.push_back({o.timeMs, style, o.subject, title});
  }
  return lane;
}

Lane CommandLane(const RunResult& run) {
  Lane lane{"commands", {}, {}};
  for (const Observation& o : run.timeline)
    if (o.kind == Observation::Kind::kCommand)
      lane.marks.push_back({o.timeMs, Style::kCommand, o.subject, At(o.timeMs, o.text)});
  return lane;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) {
    char two[4];
    std::snprintf(two, sizeof two, "%02X", byte);
    text += (text.empty() ? "" : " ") + std::string(two);
  }
  return text;
}

std::string ValueText(const Value& value) {
  switch (value.type) {
    case Value::Type::kDword:
    case Value::Type::kQword:
      return std::to_string(value.number);
    case Value::Type::kString:
      return "\"" + value.text + "\"";
    case Value::Type::kBinary:
      break;
  }
  return Hex(value.bytes);
}

// A value the scenario set on the timeline, found by its note ("setting
// NAME", "config DEVICE NAME", "firmware NAME"): its label and its tooltip.
std::pair<std::string, std::string> ScenarioWrite(const Scenario& scenario, const Observation& note) {
  for (const TimedAction& timed : scenario.timeline) {
    const Action& a = timed.action;
    if (timed.atMs != note.timeMs) continue;
    if ((a.kind == Action::Kind::kSetting && note.subject == "setting " + a.name) ||
        (a.kind == Action::Kind::kConfig && note.subject == "config " + a.device + " " + a.name)) {
      const std::string written = a.name + " = " + ValueText(a.value);
      return {written, At(note.timeMs, note.subject + " = " + ValueText(a.value))};
    }
    if ((a.kind == Action::Kind::kFirmware || a.kind == Action::Kind::kFirmwareMissing) &&
        note.subject == "firmware " + a.name) {
      const std::string written =
          "firmware " + a.name + (a.kind == Action::Kind::kFirmware ? " = " + Hex(a.bytes) : " missing");
      return {written, At(note.timeMs, written)};
    }
  }
  return {note.subject, At(note.timeMs, note.subject)};
}

// A registry write of the service as its value name and the value written:
// "SecureFingerprint = 1", "DisabledDevices (type 7)", "key Recovery".
std::string RegistryWrite(const Observation& o) {
  const std::string name = o.subject.substr(o.subject.rfind('\\') + 1);
  if (o.text.find(" type ") == std::string::npos) return "key " + name;
  return o.detail.rfind("type ", 0) == 0 ? name + " (" + o.detail + ")" : name + " = " + o.detail;
}

Lane ChangeLane(const Scenario& scenario, const RunResult& run) {
  Lane lane{"registry, firmware", {}, {}};
  for (const Observation& o : run.timeline) {
    if (o.kind == Observation::Kind::kRegistry) {
      lane.marks.push_back({o.timeMs, Style::kServiceWrite, RegistryWrite(o), At(o.timeMs, o.text)});
    } else if (o.kind == Observation::Kind::kControl && NoteKindOf(o.subject) == NoteKind::kChange) {
      auto [label, title] = ScenarioWrite(scenario, o);
      lane.marks.push_back({o.timeMs, Style::kScenarioWrite, label, title});
    }
  }
  return lane;
}

// The first machine time a check's text names ("stop at 0:05:01.500: ...").
std::optional<std::uint64_t> FirstTimeIn(const std::string& text) {
  static const std::regex kTime(R"((\d+):(\d\d):(\d\d)\.(\d\d\d))");
  std::smatch found;
  if (!std::regex_search(text, found, kTime)) return std::nullopt;
  return std::stoull(found[1]) * kHour + std::stoull(found[2]) * kMinute + std::stoull(found[3]) * kSecond +
         std::stoull(found[4]);
}

// Where a failed expectation is marked: at the time it names; where a
// "never" was seen; else at the end of the run, by which it did not happen.
std::uint64_t FailureTime(const Scenario& scenario, const ExpectationFailure& failure, std::uint64_t endMs) {
  const auto e = std::find_if(scenario.expectations.begin(), scenario.expectations.end(),
                              [&](const Expectation& x) { return x.line == failure.line; });
  if (e == scenario.expectations.end()) return endMs;
  if (e->when != Expectation::When::kAnyTime) return std::min(e->timeMs, endMs);
  if (e->never && !e->AtEnd()) return FirstTimeIn(failure.happened).value_or(endMs);
  return endMs;
}

// "by 0:00:01.000: state RUNNING" as "state RUNNING".
std::string WithoutTime(const std::string& expected) {
  const std::size_t colon = expected.find(": ");
  const bool timed = expected.rfind("at ", 0) == 0 || expected.rfind("by ", 0) == 0;
  return timed && colon != std::string::npos ? expected.substr(colon + 2) : expected;
}

Lane CheckLane(const Scenario& scenario, const RunResult& run, const std::vector<ExpectationFailure>& failures,
               const std::vector<Violation>& broken) {
  Lane lane{"failed checks", {}, {}};
  for (const ExpectationFailure& f : failures)
    lane.marks.push_back({FailureTime(scenario, f, run.endMs), Style::kFailedExpectation,
                          "line " + std::to_string(f.line) + ": " + WithoutTime(f.expected),
                          scenario.file + ":" + std::to_string(f.line) + ": expected " + f.expected +
                              "\nhappened: " + f.happened});
  for (const Violation& v : broken)
    lane.marks.push_back({std::min(FirstTimeIn(v.detail).value_or(run.endMs), run.endMs), Style::kBrokenPromise,
                          v.promise, "promise broken: " + v.promise + ": " + v.detail});
  std::stable_sort(lane.marks.begin(), lane.marks.end(),
                   [](const Mark& a, const Mark& b) { return a.atMs < b.atMs; });
  return lane;
}

struct Window {
  std::uint64_t fromMs = 0, toMs = 0;
};

// The busiest stretch of a long run, at a round length and start: of the
// stretches where things happen close together at two or more distinct
// instants (what happens at one instant stays together however far one
// zooms), the one with the most, a failed check counting as a hundred. None
// when the whole run shows it well enough.
std::optional<Window> BusiestStretch(const std::vector<Lane>& lanes, std::uint64_t endMs) {
  constexpr int kCheckWeight = 100;
  constexpr std::uint64_t kShortestZoomMs = kSecond;
  constexpr std::uint64_t kZoomFactor = 10;  // zoom only what the whole run shows ten times narrower
  std::vector<std::pair<std::uint64_t, bool>> happenings;  // when, and whether a failed check
  for (const Lane& lane : lanes) {
    for (const Span& span : lane.spans)
      if (span.fromMs > 0) happenings.emplace_back(span.fromMs, false);
    for (const Mark& mark : lane.marks)
      happenings.emplace_back(mark.atMs, LookOf(mark.style).shape == Shape::kCheck);
  }
  std::sort(happenings.begin(), happenings.end());
  struct Stretch {
    std::uint64_t first = 0, last = 0;
    int instants = 0, checks = 0;
    int Weight() const { return instants + kCheckWeight * checks; }
  };
  // Things closer than a hundredth of the run belong together.
  const std::uint64_t gap = std::max<std::uint64_t>(endMs / 100, 1);
  std::vector<Stretch> stretches;
  for (std::size_t i = 0; i < happenings.size(); ++i) {
    const std::uint64_t atMs = happenings[i].first;
    if (i == 0 || atMs - happenings[i - 1].first > gap) stretches.push_back({atMs, atMs, 0, 0});
    Stretch& stretch = stretches.back();
    stretch.last = atMs;
    if (i == 0 || atMs != happenings[i - 1].first) ++stretch.instants;
    if (happenings[i].second) ++stretch.checks;
  }
  const Stretch* busiest = nullptr;
  for (const Stretch& stretch : stretches)
    if (stretch.instants >= 2 && (busiest == nullptr || stretch.Weight() > busiest->Weight())) busiest = &stretch;
  if (busiest == nullptr) return std::nullopt;
  const std::uint64_t first = busiest->first, last = busiest->last;
  std::uint64_t length = RoundLength(std::max(kShortestZoomMs, (last - first) * 5 / 4));
  for (;;) {
    if (length * kZoomFactor > endMs) return std::nullopt;
    const std::uint64_t step = TickStep(length);
    const std::uint64_t middle = first + (last - first) / 2;
    const std::uint64_t from = middle > length / 2 ? (middle - length / 2) / step * step : 0;
    if (from + length >= last) return Window{from, std::min(from + length, endMs)};
    length = RoundLength(length + 1);
  }
}

// A stretch of machine time across the plot.
class Scale {
 public:
  explicit Scale(Window window) : window_(window) {}
  const Window& window() const { return window_; }
  double X(std::uint64_t timeMs) const {
    const std::uint64_t t = std::clamp(timeMs, window_.fromMs, window_.toMs);
    const double length = static_cast<double>(std::max<std::uint64_t>(window_.toMs - window_.fromMs, 1));
    return kPlotLeft + (kPlotRight - kPlotLeft) * static_cast<double>(t - window_.fromMs) / length;
  }
  bool Shows(std::uint64_t timeMs) const { return timeMs >= window_.fromMs && timeMs <= window_.toMs; }
  // A span's left and right, at least kMinSpanPx apart and within the plot.
  std::pair<double, double> SpanX(std::uint64_t fromMs, std::uint64_t toMs) const {
    double left = X(fromMs), right = X(toMs);
    if (right - left < kMinSpanPx) {
      right = std::min(left + kMinSpanPx, kPlotRight);
      left = right - kMinSpanPx;
    }
    return {left, right};
  }

 private:
  Window window_;
};

// A label of a lane: the mark it starts at, the marks too close to label
// that it counts, its row below the bar, and which side of the tick it is on.
struct Label {
  std::size_t mark = 0;
  std::vector<std::size_t> counted;
  int row = 0;
  bool leftOfTick = false;
};

// Labels left to right, each in the first row where it clears the one
// before; one that fits no row is counted by the label before it.
std::vector<Label> PlaceLabels(const std::vector<const Mark*>& marks, const Scale& scale) {
  std::vector<Label> labels;
  std::array<double, kLabelRows> rowEnd;
  rowEnd.fill(-kWidth);
  // Room for the count a label may get.
  const double countWidth = TextWidth(" +" + std::to_string(marks.size()));
  for (std::size_t i = 0; i < marks.size(); ++i) {
    const double x = scale.X(marks[i]->atMs);
    const double width = TextWidth(Shortened(marks[i]->label)) + countWidth;
    const bool leftOfTick = x + kLabelGap + width > kWidth;
    const double left = leftOfTick ? x - kLabelGap - width : x + kLabelGap;
    int row = 0;
    while (row < kLabelRows && left < rowEnd[row] + kLabelSpacing) ++row;
    if (row < kLabelRows) {
      rowEnd[row] = left + width;
      labels.push_back({i, {}, row, leftOfTick});
    } else {
      labels.back().counted.push_back(i);
    }
  }
  return labels;
}

// The picture, top to bottom; it notes each style it draws for the legend.
class Picture {
 public:
  void Heading(const std::string& title, const std::string& verdict, bool good, std::uint64_t endMs) {
    body_ += Tag("text", {{"class", "title"}, {"x", 8}, {"y", 22}, {"font-size", 16}, {"font-weight", "bold"}}, title);
    body_ += Tag("text",
                 {{"class", "verdict"}, {"x", 8}, {"y", 42}, {"font-size", 13}, {"fill", good ? "#2e7d32" : "#c62828"}},
                 verdict);
    body_ += Tag("text", {{"x", kWidth - 8}, {"y", 42}, {"text-anchor", "end"}, {"fill", "#616161"}},
                 "machine time 0:00:00.000 to " + FormatTime(endMs));
    y_ = 54;
  }

  void Caption(const std::string& text) {
    body_ += Tag("text", {{"class", "caption"}, {"x", 8}, {"y", y_ + 22}, {"font-weight", "bold"}}, text);
    y_ += 30;
  }

  // The lanes over one stretch, with its axis; `zoomed` marks the stretch
  // drawn again below.
  void Panel(const char* name, const std::vector<Lane>& lanes, const Scale& scale,
             const std::optional<Window>& zoomed) {
    body_ += StartTag("g", {{"class", name}}) + "\n";
    const double top = y_;
    const std::size_t gridAt = body_.size();
    for (const Lane& lane : lanes) DrawLane(lane, scale);
    const double bottom = y_;
    const Window& window = scale.window();
    const std::uint64_t step = TickStep(window.toMs - window.fromMs);
    std::string grid;
    for (std::uint64_t t = (window.fromMs + step - 1) / step * step; t <= window.toMs; t += step) {
      const double x = scale.X(t);
      grid += Tag("line", {{"x1", x}, {"y1", top}, {"x2", x}, {"y2", bottom}, {"stroke", "#eeeeee"}});
      body_ += Tag("line", {{"x1", x}, {"y1", bottom}, {"x2", x}, {"y2", bottom + 4}, {"stroke", "#616161"}});
      body_ += Tag("text", {{"class", "tick"}, {"x", x}, {"y", bottom + 16}, {"text-anchor", "middle"}},
                   TickText(t, step));
    }
    body_.insert(gridAt, grid);
    body_ +=
        Tag("line", {{"x1", kPlotLeft}, {"y1", bottom}, {"x2", kPlotRight}, {"y2", bottom}, {"stroke", "#616161"}});
    // A failed check's line runs through every lane.
    for (const Lane& lane : lanes)
      for (const Mark& mark : lane.marks) {
        const Look& look = LookOf(mark.style);
        if (look.shape != Shape::kCheck || !scale.Shows(mark.atMs)) continue;
        const double x = scale.X(mark.atMs);
        body_ += Tag("line",
                     {{"class", look.name}, {"x1", x}, {"y1", top}, {"x2", x}, {"y2", bottom}, {"stroke", look.colour},
                      {"stroke-dasharray", "4,3"}},
                     "", mark.title);
      }
    if (zoomed) {
      const auto [left, right] = scale.SpanX(zoomed->fromMs, zoomed->toMs);
      const Look& look = LookOf(Style::kZoomed);
      body_ += Tag("rect",
                   {{"class", look.name}, {"x", left}, {"y", top}, {"width", right - left}, {"height", bottom - top},
                    {"fill", look.colour}, {"fill-opacity", 0.12}, {"stroke", look.colour}},
                   "", During("drawn again below, zoomed,", zoomed->fromMs, zoomed->toMs));
      used_.insert(Style::kZoomed);
    }
    body_ += "</g>\n";
    y_ = bottom + 22;
  }

  void Legend() {
    y_ += 8;
    double x = 8;
    for (Style style : used_) {
      const Look& look = LookOf(style);
      const double width = 22 + TextWidth(look.legend) + 16;
      if (x + width > kWidth - 8 && x > 8) {
        x = 8;
        y_ += 18;
      }
      body_ += Swatch(look, x, y_);
      body_ += Tag("text", {{"class", "legend"}, {"x", x + 22}, {"y", y_ + 10}}, look.legend);
      x += width;
    }
    y_ += 18;
  }

  std::string Svg(const std::string& title) const {
    const double height = y_ + 8;
    const std::string svg = StartTag("svg", {{"xmlns", "http://www.w3.org/2000/svg"},
                                        {"version", "1.1"},
                                        {"width", kWidth},
                                        {"height", height},
                                        {"viewBox", "0 0 " + Number(kWidth) + " " + Number(height)},
                                        {"font-family", "sans-serif"},
                                        {"font-size", kFontSize}});
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + svg + "\n" +
           Tag("title", {}, title) +
           "<defs>\n<pattern id=\"absent\" patternUnits=\"userSpaceOnUse\" width=\"6\" height=\"6\">"
           "<rect width=\"6\" height=\"6\" fill=\"#f5f5f5\"/>"
           "<path d=\"M0,6 L6,0\" stroke=\"#9e9e9e\" stroke-width=\"1.5\"/></pattern>\n</defs>\n"
           "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n" +
           body_ + "</svg>\n";
  }

 private:
  void DrawLane(const Lane& lane, const Scale& scale) {
    const double barTop = y_ + 4, barBottom = barTop + kBarHeight;
    body_ += StartTag("g", {{"class", "lane"}}) + "\n";
    body_ += Tag("text", {{"class", "lane-name"}, {"x", 8}, {"y", barTop + 12}, {"font-weight", "bold"}},
                 Shortened(lane.name, 22));
    // Short spans go last, over their longer neighbours.
    std::vector<const Span*> spans;
    for (const Span& span : lane.spans)
      if (span.toMs >= scale.window().fromMs && span.fromMs <= scale.window().toMs) spans.push_back(&span);
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span* a, const Span* b) { return a->toMs - a->fromMs > b->toMs - b->fromMs; });
    for (const Span* span : spans) {
      const auto [left, right] = scale.SpanX(span->fromMs, span->toMs);
      const Look& look = LookOf(span->style);
      body_ += Tag("rect",
                   {{"class", look.name}, {"x", left}, {"y", barTop}, {"width", right - left}, {"height", kBarHeight},
                    {"fill", look.colour}},
                   "", span->title);
      if (right - left >= TextWidth(span->text, 10) + 6)
        body_ += Tag("text", {{"x", left + 3}, {"y", barTop + 12}, {"font-size", 10}}, span->text, span->title);
      used_.insert(span->style);
    }
    std::vector<const Mark*> marks;
    for (const Mark& mark : lane.marks)
      if (scale.Shows(mark.atMs)) marks.push_back(&mark);
    for (const Mark* mark : marks) {
      const Look& look = LookOf(mark->style);
      const double x = scale.X(mark->atMs);
      if (look.shape == Shape::kCheck)
        body_ += Tag("path", {{"class", look.name}, {"d", Triangle(x, barTop, barBottom)}, {"fill", look.colour}}, "",
                     mark->title);
      else
        body_ += Tag("line",
                     {{"class", look.name}, {"x1", x}, {"y1", barTop}, {"x2", x}, {"y2", barBottom},
                      {"stroke", look.colour}, {"stroke-width", 2}, {"stroke-dasharray", look.dashed ? "3,2" : "none"}},
                     "", mark->title);
      used_.insert(mark->style);
    }
    int rows = 0;
    for (const Label& label : PlaceLabels(marks, scale)) {
      const Mark& mark = *marks[label.mark];
      std::string text = Shortened(mark.label), title = mark.title;
      if (!label.counted.empty()) text += " +" + std::to_string(label.counted.size());
      for (std::size_t counted : label.counted) title += "\n" + marks[counted]->title;
      const double x = scale.X(mark.atMs);
      body_ += Tag("text",
                   {{"class", std::string("label ") + LookOf(mark.style).name},
                    {"x", label.leftOfTick ? x - kLabelGap : x + kLabelGap},
                    {"y", barBottom + (label.row + 1) * kRowHeight - 2},
                    {"text-anchor", label.leftOfTick ? "end" : "start"},
                    {"fill", LabelColour(mark.style)}},
                   text, title);
      rows = std::max(rows, label.row + 1);
    }
    y_ = barBottom + rows * kRowHeight + 6;
    body_ += Tag("line", {{"x1", 4}, {"y1", y_}, {"x2", kWidth - 4}, {"y2", y_}, {"stroke", "#e0e0e0"}});
    body_ += "</g>\n";
  }

  static std::string Swatch(const Look& look, double x, double y) {
    switch (look.shape) {
      case Shape::kSpan:
        return Tag("rect", {{"x", x}, {"y", y + 1}, {"width", 18}, {"height", 11}, {"fill", look.colour},
                            {"stroke", "#9e9e9e"}});
      case Shape::kBand:
        return Tag("rect", {{"x", x}, {"y", y + 1}, {"width", 18}, {"height", 11}, {"fill", look.colour},
                            {"fill-opacity", 0.12}, {"stroke", look.colour}});
      case Shape::kCheck:
        return Tag("path", {{"d", Triangle(x + 9, y, y + 12)}, {"fill", look.colour}});
      case Shape::kTick:
        break;
    }
    return Tag("line", {{"x1", x + 9}, {"y1", y}, {"x2", x + 9}, {"y2", y + 13}, {"stroke", look.colour},
                        {"stroke-width", 2}, {"stroke-dasharray", look.dashed ? "3,2" : "none"}});
  }

  std::string body_;
  double y_ = 0;
  std::set<Style> used_;
};

}  // namespace

std::string TimelineSvg(const Scenario& scenario, const RunResult& run, const std::vector<ExpectationFailure>& failures,
                        const std::vector<Violation>& broken) {
  std::vector<Lane> lanes;
  if (!failures.empty() || !broken.empty()) lanes.push_back(CheckLane(scenario, run, failures, broken));
  lanes.push_back(ServiceLane(run));
  for (const DeviceAtEnd& device : run.devices) lanes.push_back(DeviceLane(run, device));
  lanes.push_back(EventLane(run));
  lanes.push_back(CommandLane(run));
  lanes.push_back(ChangeLane(scenario, run));

  const std::string verdict = Verdict(scenario.expectations.size(), failures.size(), broken.size());
  const std::uint64_t endMs = std::max<std::uint64_t>(run.endMs, 1);
  const std::optional<Window> zoomed = BusiestStretch(lanes, endMs);
  const std::string name = scenario.file.empty() ? "scenario" : scenario.file;
  Picture picture;
  picture.Heading(name, verdict, failures.empty() && broken.empty(), run.endMs);
  picture.Panel("whole-run", lanes, Scale(Window{0, endMs}), zoomed);
  if (zoomed) {
    const std::uint64_t step = TickStep(zoomed->toMs - zoomed->fromMs);
    picture.Caption("Zoomed: " + TickText(zoomed->fromMs, step) + " to " + TickText(zoomed->toMs, step) +
                    ", the busiest stretch");
    picture.Panel("zoomed", lanes, Scale(*zoomed), std::nullopt);
  }
  picture.Legend();
  return picture.Svg(name + ": " + verdict);
}

}  // namespace scenario
