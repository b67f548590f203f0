#!/usr/bin/env bash
# The main job: runs the service on the simulated machine through a scenario
# (a day on a laptop, or the scenario file given) and prints, in order,
# everything the machine shows. Options before the file go to zefo_sim.
# Installs only what the simulated machine needs.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh sim
# The build's own output only when it fails: the compiler's errors then.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake --preset sim && cmake --build --preset sim --target zefo_sim; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
if (($# == 0)); then set -- scenarios/day-on-a-laptop.scn; fi
build/sim/tools/sim/zefo_sim "$@"
