#!/usr/bin/env bash
# Fuzzes the scenario reader for a bounded time: SECONDS (default 60) of
# libFuzzer on the sim-fuzz preset's target (clang, AddressSanitizer, UBSan),
# seeded with the ready scenarios and tools/sim/fuzz/corpus. What it finds
# new stays in build/sim-fuzz/corpus for the next run. An input that crashes,
# takes over 5 s or trips a sanitizer fails the run and is left in
# build/sim-fuzz/ (crash-*, timeout-*, ...): once fixed, add it to
# tools/sim/fuzz/corpus, which every build replays (ctest's
# scenario_fuzz_corpus).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

tools/install-deps.sh fuzz
cmake --preset sim-fuzz >/dev/null
cmake --build --preset sim-fuzz
mkdir -p build/sim-fuzz/corpus
build/sim-fuzz/tools/sim/zefo_scenario_fuzz -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
  -max_len=65536 -dict=tools/sim/fuzz/scenario.dict -artifact_prefix=build/sim-fuzz/ -print_final_stats=1 \
  build/sim-fuzz/corpus scenarios tools/sim/fuzz/corpus
