#!/usr/bin/env bash
# The explorations tools/test.sh leaves out: the ready scenarios under
# scenarios/long/ have thousands of instants (floods of events), and a stop,
# a shutdown (20 s and 5 s), a kill and a reboot at each of them, under two
# tie-break seeds, take hours. Needs the sim build.
set -euo pipefail
cd "$(dirname "$0")/.."
exec tools/explore.sh scenarios/long/*.scn
