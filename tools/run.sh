#!/usr/bin/env bash
# The main job: runs the service on the simulated machine through a scenario
# (a day on a laptop, or the scenario file given) and prints, in order,
# everything the machine shows. Options before the file go to zefo_sim.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset sim >/dev/null
cmake --build --preset sim --target zefo_sim >/dev/null
if (($# == 0)); then set -- scenarios/day-on-a-laptop.scn; fi
exec build/sim/tools/sim/zefo_sim "$@"
