// What a person reads of a run: the timeline on the machine clock (as text or
// one JSON object per line), a timeline picture, and the failed checks.
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
// One lane each for the service state, each device's state, the events
// delivered and the commands run.
std::string TimelineSvg(const RunResult& run);
void PrintFailures(std::FILE* out, const std::string& file, const std::vector<ExpectationFailure>& failures);
void PrintViolations(std::FILE* out, const std::vector<Violation>& violations);
// What the machine refused, noted apart from the broken promises.
void PrintMachineRefusals(std::FILE* out, const std::vector<Violation>& refusals);
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
