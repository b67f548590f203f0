#!/usr/bin/env bash
# Explores every ready scenario (or those given): a stop, a shutdown (the
# system giving 20 s, then 5 s), a kill and a reboot injected at every
# instant where anything happened, under two tie-break seeds
# (ZEFO_EXPLORE_SEEDS, 2 by default; the test command takes 1). Needs the sim
# build (cmake --preset sim && cmake --build --preset sim). Exit status 1 when
# any run broke a promise or an expectation timed before its injection.
set -euo pipefail
cd "$(dirname "$0")/.."
sim=build/sim/tools/sim/zefo_sim
(($# > 0)) || set -- scenarios/*.scn
# A record clear the machine refuses throughout, a person's disable, then a
# crash or a reboot: the next start cannot tell that disable from the
# service's own. The one window the recovery memory leaves (README); only a
# stop and a shutdown are explored there.
window=scenarios/clear-refused-then-person-disables.scn
status=0
for scenario in "$@"; do
  events=(stop shutdown "shutdown --shutdown-timeout 5s" kill reboot)
  [[ "$scenario" -ef "$window" ]] && events=(stop shutdown "shutdown --shutdown-timeout 5s")
  for event in "${events[@]}"; do
    # shellcheck disable=SC2086  # the event may carry its option
    "$sim" --explore $event --seeds "${ZEFO_EXPLORE_SEEDS:-2}" "$scenario" || status=1
  done
done
exit "$status"
