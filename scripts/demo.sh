#!/usr/bin/env bash
# Sets up, builds both plug-in builds and the simulated receiver, and plays
# the demo evening with the diagnostic plug-in. The evening's HTML report is
# written to build/host/demo-report.html.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --minimal
# The minimal set-up has no Google Benchmark: only then are the benchmarks
# switched off, so a build folder that has them keeps them.
bench=()
if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed"; then
  bench=(-DBRANTLOW_BENCH=OFF)
fi
cmake --preset host "${bench[@]}" >/dev/null
cmake --build --preset host --target tapsim brantlow_tap_diag brantlow_tap_plain >/dev/null
rm -rf build/host/demo-disk build/host/demo-screens
exec build/host/sim/tapsim --disk build/host/demo-disk --screens build/host/demo-screens \
  --report build/host/demo-report.html build/host/brantlow.tap scenarios/evening.scn
