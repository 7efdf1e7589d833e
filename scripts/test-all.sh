#!/usr/bin/env bash
# Sets up, builds and runs every test: the host build (unit tests, scenarios
# with both plug-in builds, build checks), the same for the receiver's
# processor under qemu-mipsel, the unit tests under the address
# and undefined-behaviour sanitizers, and the fuzzers for a short while.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
werror="-DBRANTLOW_WERROR=${BRANTLOW_WERROR:-ON}"
jobs=${JOBS:-2}

echo "== format"
scripts/check-format.sh

echo "== host build"
cmake --preset host "$werror" >/dev/null
cmake --build --preset host -j "$jobs"
ctest --preset host

echo "== receiver build under qemu-mipsel"
# The plug-in, libtap.so, tapsim and the unit tests built for the receiver's
# 32-bit little-endian MIPS and run under qemu-mipsel (CMAKE_CROSSCOMPILING_EMULATOR).
cmake --preset receiver "$werror" >/dev/null
cmake --build --preset receiver -j "$jobs"
ctest --preset receiver

echo "== the owner's package: the receiver's files alone, without tests or emulator"
cmake --workflow --preset receiver-package >/dev/null
ls build/receiver-package/package/

echo "== sanitizers"
cmake --preset asan "$werror" >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan

if [ -f fuzz/CMakeLists.txt ]; then
  echo "== fuzzers"
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DBRANTLOW_FUZZ=ON -DBRANTLOW_TESTS=OFF -DBRANTLOW_BENCH=OFF "$werror" >/dev/null
  cmake --build build/fuzz -j "$jobs" --target fuzzers
  for f in build/fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus="fuzz/corpus/${name#fuzz_}"
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
    echo "-- $name"
    "$f" -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=0 "$work" 2>&1 | tail -n 3
    rm -rf "$work"
  done
fi
echo "all tests passed"
