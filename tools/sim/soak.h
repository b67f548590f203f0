// Soak: a laptop through many hours of machine time, boot after boot, with
// lid, display, session and driver events, sensor failures and faults at
// random instants drawn from one seed; the service's promises checked after
// every boot.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tools/sim/report.h"
#include "tools/sim/scenario.h"

namespace scenario {

// The laptop a soak runs on when no scenario gives the machine.
Scenario SoakLaptop();

// One boot of the soak: the machine, what the earlier boots left in the
// registry and the firmware (the setup's last lines), a timeline of random
// events over lengthMs drawn from rng, and a shutdown (sometimes a stop) at
// its end. The scenario's own timeline and expectations are left out.
Scenario SoakBoot(const Scenario& machine, std::mt19937_64& rng, std::uint64_t lengthMs);

struct Soak {
  std::uint64_t simulatedMs = 0;
  int boots = 0;
  std::size_t events = 0;
  int violatingBoots = 0;
  double realSeconds = 0;
  std::vector<Finding> findings;
};

// path names the scenario in the replay commands ("" for SoakLaptop()).
Soak RunSoak(const Scenario& machine, const std::string& path, double hours, std::uint64_t seed);
void PrintSoak(std::FILE* out, const Soak& soak, double hours, std::uint64_t seed);

}  // namespace scenario
