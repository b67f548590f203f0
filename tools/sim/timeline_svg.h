// A run as a picture a person reads without hovering: the scenario's name
// and verdict, one lane each for the checks that failed, the service state,
// each device, the events, the commands run and the registry and firmware
// changes; the busiest stretch of a long run drawn again, zoomed; a legend of
// every mark and colour it uses. Self-contained SVG 1.1, the same bytes for
// the same run.
#pragma once

#include <string>
#include <vector>

#include "tools/sim/checks.h"
#include "tools/sim/run_result.h"
#include "tools/sim/scenario.h"

namespace scenario {

std::string TimelineSvg(const Scenario& scenario, const RunResult& run, const std::vector<ExpectationFailure>& failures,
                        const std::vector<Violation>& broken);

}  // namespace scenario
