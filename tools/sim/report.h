// What a person reads of a run: the timeline on the machine clock (as text or
// one JSON object per line), the failed checks and the verdict.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/sim/checks.h"
#include "tools/sim/run_result.h"

namespace scenario {

struct TimelineOptions {
  bool events = false;  // event log entries too
  bool trace = false;   // trace messages too
  bool json = false;
};

void PrintTimeline(std::FILE* out, const RunResult& run, const TimelineOptions& options);
void PrintFailures(std::FILE* out, const std::string& file, const std::vector<ExpectationFailure>& failures);
void PrintViolations(std::FILE* out, const std::vector<Violation>& violations);
// What the machine refused, noted apart from the broken promises.
void PrintMachineRefusals(std::FILE* out, const std::vector<Violation>& refusals);
// "11 of 11 expectations held, 0 promises broken".
std::string Verdict(std::size_t expectations, std::size_t failed, std::size_t broken);
// "longest stop or shutdown handler: 27000 ms of machine time (promised: 100 ms)".
std::string StopHandlerMeasurement(std::uint64_t longestMs);

// A broken promise found by an exploration or a soak, and the command that
// replays its run.
struct Finding {
  Violation violation;
  std::string replay;
};
// Grouped by promise, each with its replay command.
void PrintFindings(std::FILE* out, const std::vector<Finding>& findings);
// Text as a JSON string literal.
std::string JsonString(const std::string& text);

}  // namespace scenario
