#!/usr/bin/env bash
# The test command: installs what a fresh Debian 12 machine lacks, builds both
# builds and the sanitizer builds and the release package, and runs every
# test, the Wine runs included.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

# The plain sim build serves the simulator (explorations, soak, journals,
# benchmark); the suites run under the two sanitizer builds.
cmake --preset sim >/dev/null
cmake --build --preset sim --target zefo_sim zefo_bench
for preset in sim-asan sim-tsan win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

echo "== release package"
cmake --build --preset win64 --target package
tools/check-package.sh

for preset in sim-asan sim-tsan; do
  ctest --preset "$preset"
done

echo "== scenarios: a stop, a shutdown (20 s and 5 s to stop), a kill and a reboot at every instant of each"
ZEFO_EXPLORE_SEEDS=1 tools/explore.sh
build/sim/tools/sim/zefo_sim --soak 24 --seed 1

echo "== the default scenario, 20 runs: the same journal each time"
journal=(build/sim/tools/sim/zefo_sim --events --trace --journal scenarios/day-on-a-laptop.scn)
first=$("${journal[@]}")
for run in $(seq 2 20); do
  [[ "$("${journal[@]}")" == "$first" ]] ||
    { echo "run $run of the default scenario differs"; exit 1; }
done

echo "== benchmark (simulated machine)"
build/sim/tools/bench/zefo_bench

for script in tools/wine/test-*.sh; do
  [[ -e "$script" ]] || continue
  echo "== $script"
  bash "$script"
done
echo "All tests passed."
