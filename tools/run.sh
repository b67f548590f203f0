#!/usr/bin/env bash
# The main job: runs the service on the simulated machine's default scenario
# and prints, in order, everything the machine shows.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset sim >/dev/null
cmake --build --preset sim --target zefo_sim >/dev/null
exec build/sim/tools/sim/zefo_sim "$@"
