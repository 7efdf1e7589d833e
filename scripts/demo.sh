#!/usr/bin/env bash
# Sets up, builds both plug-in builds and the simulated receiver, and plays
# the demo evening with the diagnostic plug-in.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --minimal
cmake --preset host -DBRANTLOW_BENCH=OFF >/dev/null
cmake --build --preset host --target tapsim brantlow_tap_diag brantlow_tap_plain >/dev/null
rm -rf build/host/demo-disk build/host/demo-screens
exec build/host/sim/tapsim --disk build/host/demo-disk --screens build/host/demo-screens \
  build/host/brantlow.tap scenarios/evening.scn
