#include "tools/sim/report.h"

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

std::string Verdict(std::size_t expectations, std::size_t failed, std::size_t broken) {
  return std::to_string(expectations - failed) + " of " + std::to_string(expectations) + " expectations held, " +
         std::to_string(broken) + " promises broken";
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

}  // namespace scenario
