#include "tools/sim/report.h"

#include <algorithm>
#include <map>

namespace scenario {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

void PrintTimeline(std::FILE* out, const RunResult& run, const TimelineOptions& options) {
  for (const Observation& o : run.timeline) {
    if ((o.kind == Observation::Kind::kEvent && !options.events) ||
        (o.kind == Observation::Kind::kTrace && !options.trace))
      continue;
    if (options.json)
      std::fprintf(out, "{\"time_ms\":%llu,\"time\":\"%s\",\"kind\":\"%s\",\"text\":%s,\"subject\":%s,\"detail\":%s}\n",
                   static_cast<unsigned long long>(o.timeMs), FormatTime(o.timeMs).c_str(), KindName(o.kind),
                   JsonString(o.text).c_str(), JsonString(o.subject).c_str(), JsonString(o.detail).c_str());
    else
      std::fprintf(out, "%s  %-8s %s\n", FormatTime(o.timeMs).c_str(), KindName(o.kind), o.text.c_str());
  }
}

void PrintFailures(std::FILE* out, const std::string& file, const std::vector<ExpectationFailure>& failures) {
  for (const ExpectationFailure& f : failures)
    std::fprintf(out, "%s:%d: expected %s\n    happened: %s\n", file.c_str(), f.line, f.expected.c_str(),
                 f.happened.c_str());
}

void PrintViolations(std::FILE* out, const std::vector<Violation>& violations) {
  for (const Violation& v : violations)
    std::fprintf(out, "promise broken: %s: %s\n", v.promise.c_str(), v.detail.c_str());
}

void PrintMachineRefusals(std::FILE* out, const std::vector<Violation>& refusals) {
  for (const Violation& r : refusals)
    std::fprintf(out, "machine refused: %s: %s\n", r.promise.c_str(), r.detail.c_str());
}

std::string StopHandlerMeasurement(std::uint64_t longestMs) {
  return "longest stop or shutdown handler: " + std::to_string(longestMs) + " ms of machine time (promised: " +
         std::to_string(kStopHandlerPromiseMs) + " ms)";
}

void PrintFindings(std::FILE* out, const std::vector<Finding>& findings) {
  std::map<std::string, std::vector<const Finding*>> byPromise;
  for (const Finding& finding : findings) byPromise[finding.violation.promise].push_back(&finding);
  for (const auto& [promise, group] : byPromise) {
    std::fprintf(out, "  %s: %zu\n", promise.c_str(), group.size());
    for (const Finding* finding : group)
      std::fprintf(out, "    %s\n      replay: %s\n", finding->violation.detail.c_str(), finding->replay.c_str());
  }
}

namespace {

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
    else
      out += c;
  }
  return out;
}

// Lays lanes out left to right over the run's machine time.
class Picture {
 public:
  explicit Picture(std::uint64_t endMs) : endMs_(std::max<std::uint64_t>(endMs, 1)) {}

  double X(std::uint64_t timeMs) const { return kLabelWidth + kPlotWidth * static_cast<double>(timeMs) / endMs_; }
  int Lane(const std::string& label) {
    const int y = kTop + lanes_ * kLaneHeight;
    ++lanes_;
    body_ += "<text x=\"4\" y=\"" + std::to_string(y + 20) + "\">" + Escaped(label) + "</text>\n";
    body_ += "<line x1=\"" + std::to_string(kLabelWidth) + "\" y1=\"" + std::to_string(y + kLaneHeight) + "\" x2=\"" +
             std::to_string(kLabelWidth + kPlotWidth) + "\" y2=\"" + std::to_string(y + kLaneHeight) +
             "\" stroke=\"#ddd\"/>\n";
    return y;
  }
  void Segment(int y, std::uint64_t from, std::uint64_t to, const std::string& colour, const std::string& title) {
    const double width = std::max(X(to) - X(from), 1.0);
    char rect[200];
    std::snprintf(rect, sizeof rect, "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\">", X(from),
                  y + 6, width, kLaneHeight - 12, colour.c_str());
    body_ += std::string(rect) + "<title>" + Escaped(title) + "</title></rect>\n";
  }
  void Tick(int y, std::uint64_t at, const std::string& title) {
    char line[160];
    std::snprintf(line, sizeof line, "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#333\">", X(at), y + 4,
                  X(at), y + kLaneHeight - 4);
    body_ += std::string(line) + "<title>" + Escaped(FormatTime(at) + " " + title) + "</title></line>\n";
  }
  std::string Svg() const {
    const int height = kTop + lanes_ * kLaneHeight + 30;
    const int width = kLabelWidth + kPlotWidth + 20;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) + "\" height=\"" +
                      std::to_string(height) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n" + body_;
    for (int i = 0; i <= 4; ++i) {
      const std::uint64_t at = endMs_ * static_cast<std::uint64_t>(i) / 4;
      char label[120];
      std::snprintf(label, sizeof label, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n", X(at),
                    height - 10, FormatTime(at).c_str());
      svg += label;
    }
    return svg + "</svg>\n";
  }

 private:
  static constexpr int kLabelWidth = 150, kPlotWidth = 900, kLaneHeight = 30, kTop = 10;
  std::uint64_t endMs_;
  int lanes_ = 0;
  std::string body_;
};

std::string StateColour(const std::string& state) {
  if (state == "RUNNING") return "#4caf50";
  if (state == "STOPPED") return "#9e9e9e";
  return "#ffb300";  // pending
}

}  // namespace

std::string TimelineSvg(const RunResult& run) {
  Picture picture(run.endMs);
  // The service: each state from its report to the next.
  const int serviceLane = picture.Lane("service");
  const Observation* state = nullptr;
  for (const Observation& o : run.timeline) {
    if (o.kind != Observation::Kind::kStatus) continue;
    if (state != nullptr) picture.Segment(serviceLane, state->timeMs, o.timeMs, StateColour(state->subject), state->text);
    state = &o;
  }
  if (state != nullptr) picture.Segment(serviceLane, state->timeMs, run.endMs, StateColour(state->subject), state->text);
  // Each device: disabled from a disable to its enable.
  for (const DeviceAtEnd& device : run.devices) {
    const int lane = picture.Lane(device.name);
    std::optional<std::uint64_t> disabledAt;
    for (const Observation& o : run.timeline) {
      if (o.kind == Observation::Kind::kControl && o.subject.rfind("problem " + device.name + " ", 0) == 0)
        picture.Tick(lane, o.timeMs, o.text);
      if (o.kind != Observation::Kind::kDevice || o.subject != device.name) continue;
      if (o.detail == "disable") {
        disabledAt = o.timeMs;
      } else if (o.detail == "enable" && disabledAt) {
        picture.Segment(lane, *disabledAt, o.timeMs, "#e53935", "disabled");
        disabledAt.reset();
      }
    }
    if (disabledAt) picture.Segment(lane, *disabledAt, run.endMs, "#e53935", "disabled");
  }
  const int eventLane = picture.Lane("events delivered");
  const int commandLane = picture.Lane("commands run");
  for (const Observation& o : run.timeline) {
    if (o.kind == Observation::Kind::kControl) picture.Tick(eventLane, o.timeMs, o.text);
    if (o.kind == Observation::Kind::kCommand) picture.Tick(commandLane, o.timeMs, o.text);
  }
  return picture.Svg();
}

}  // namespace scenario
