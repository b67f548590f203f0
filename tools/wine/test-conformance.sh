#!/usr/bin/env bash
# Runs the platform conformance suite, cross-built against the real API, under
# Wine in a throwaway prefix. Cases where Wine is known to differ from Windows
# still run: their failures are printed as the known difference ("[   WINE   ]"
# lines) and pass, and such a case fails once Wine passes it, so that its
# marker goes.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

suite="$WIN64_BUILD/tests/conformance/platform_conformance.exe"
stand_in="$WIN64_BUILD/tools/win32/StandInService.exe"
for program in "$suite" "$stand_in"; do
  [[ -f "$program" ]] || fail "$program not built (cmake --build --preset win64)"
done

wine_prefix_up
# The cases that need another service install the stand-in found beside the
# suite, so both run from a folder of the prefix.
run_dir="$WINE_C/zefo-conformance"
mkdir -p "$run_dir"
cp "$suite" "$stand_in" "$run_dir/"
# The suite's own output, known differences and skip reasons included; its
# exit code decides.
wine_run "$run_dir/platform_conformance.exe" --gtest_brief=0 || fail "platform conformance suite under Wine"
echo "platform conformance under Wine: passed"
