#!/usr/bin/env bash
# Runs the whole benchmark suite of the plug-in and prints its figures, each
# beside its budget (docs/performance.md explains them). Builds what it needs
# first: the host build in build/bench and the receiver build in
# build/bench-receiver. Raw outputs are kept in <build>/bench-results.
#
#   scripts/bench.sh [--build-dir DIR] [--receiver-dir DIR] [--no-receiver] [--no-build]
#                    [--no-host-build]
#   scripts/bench.sh --update-baseline [--build-dir DIR]
#
# --update-baseline measures the deterministic figures on the host preset's
# tree (build/host, built first) and writes them to bench/baseline.json, which
# the ctest test bench.baseline compares every build with; commit the file.
#
# --no-build uses the trees as they are; --no-host-build (the CMake target
# "bench" passes it, having built the host targets itself) still builds the
# receiver's plug-in files.
#
# Exit status 0 when every budget is met, 1 when one is not, 2 when a
# measurement could not be made.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/bench"
receiver="$root/build/bench-receiver"
do_receiver=1
do_build=1
do_host_build=1
update_baseline=0
build_given=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$(realpath -m "$2")"; build_given=1; shift 2 ;;
    --update-baseline) update_baseline=1; shift ;;
    --receiver-dir) receiver="$(realpath -m "$2")"; shift 2 ;;
    --no-receiver) do_receiver=0; shift ;;
    --no-build) do_build=0; do_host_build=0; shift ;;
    --no-host-build) do_host_build=0; shift ;;
    *) echo "usage: $0 [--build-dir DIR] [--receiver-dir DIR] [--no-receiver] [--no-build] [--no-host-build]" >&2
       echo "       $0 --update-baseline [--build-dir DIR] [--no-build]" >&2; exit 2 ;;
  esac
done

bench_targets=(tapsim brantlow_tap_diag brantlow_tap_plain bench_plugin_diag bench_plugin_plain
               bench_driver_diag bench_driver_plain)

if [ "$update_baseline" = 1 ]; then
  # The tree the ctest test runs in: the host preset's.
  if [ "$build_given" = 0 ]; then
    build="$root/build/host"
    [ "$do_build" = 1 ] && (cd "$root" && cmake --preset host >/dev/null)
  fi
  [ "$do_build" = 1 ] && cmake --build "$build" -j2 --target "${bench_targets[@]}" >/dev/null
  exec python3 "$root/bench/regress.py" --build-dir "$build" --update
fi

started=$(date +%s)
out="$build/bench-results"
disks="$build/bench-disks"
missed=0
failed=0

for tool in valgrind strace python3; do
  command -v "$tool" >/dev/null || { echo "bench.sh: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done

# --------------------------------------------------------------------------
# Build
if [ "$do_host_build" = 1 ]; then
  echo "== Building (host: $build)"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANTLOW_BENCH=ON >/dev/null
  cmake --build "$build" -j2 --target "${bench_targets[@]}" >/dev/null
fi
rm -rf "$out" "$disks"
mkdir -p "$out" "$disks"
export BRANTLOW_BENCH_DISK="$disks"

verdict() {  # verdict NAME VALUE LIMIT [unit]: met when VALUE < LIMIT
  if python3 -c "import sys; sys.exit(0 if float('$2') < float('$3') else 1)"; then
    printf '   %-58s %s (budget < %s%s): met\n' "$1" "$2" "$3" "${4:-}"
  else
    printf '   %-58s %s (budget < %s%s): NOT MET\n' "$1" "$2" "$3" "${4:-}"
    missed=1
  fi
}

field() {  # field FILE "prefix:" -> the rest of the first line with that prefix
  sed -n "s/^$2 //p" "$1" | head -n1
}

driver() {  # driver VARIANT ARGS... : runs the driver, output kept
  local variant=$1; shift
  "$build/bench/bench_driver_$variant" "$@"
}

# Instructions of the plug-in itself (callgrind, the simulated firmware and
# the driver taken off) per unit of a driver run.
own_instructions() {  # own_instructions VARIANT MODE N [ARG]
  local tag="$1.$2${4:+.$4}"
  local file="$out/callgrind.$tag.out"
  LD_BIND_NOW=1 valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$file" \
    "$build/bench/bench_driver_$1" "$2" "$3" ${4:+"$4"} >"$out/callgrind.$tag.txt" 2>"$out/callgrind.$tag.log" ||
    { echo "callgrind run failed: $tag" >&2; failed=1; echo 0; return; }
  python3 "$root/bench/callgrind_own.py" "$file" --top 8 >"$out/callgrind.$tag.own"
  python3 -c "print(round($(field "$out/callgrind.$tag.own" own) / $3, 1))"
}

# System calls between the driver's markers, per unit; the histogram is kept.
syscalls_per_unit() {  # syscalls_per_unit NAME UNITS VARIANT ARGS...
  local name=$1 units=$2 variant=$3; shift 3
  local trace="$out/strace.$name.txt"
  strace -f -qq -o "$trace" "$build/bench/bench_driver_$variant" "$@" >"$out/strace.$name.out" ||
    { echo "strace run failed: $name" >&2; failed=1; echo 0; return; }
  awk '/brantlow-bench-begin/{on=1;next} /brantlow-bench-end/{on=0} on' "$trace" |
    sed -E 's/^[0-9]+ +//; s/\(.*//' | sort | uniq -c | sort -rn >"$out/strace.$name.hist"
  python3 -c "print(round($(awk '{n+=$1} END{print n+0}' "$out/strace.$name.hist") / $units, 2))"
}

# --------------------------------------------------------------------------
echo
echo "== 0. Deterministic figures against bench/baseline.json (bench/regress.py)"
set +e
python3 "$root/bench/regress.py" --build-dir "$build" | sed 's/^/   /'
rc=${PIPESTATUS[0]}
set -e
case "$rc" in
  0) ;;
  1) missed=1 ;;
  *) failed=1 ;;
esac

# --------------------------------------------------------------------------
echo
echo "== 1. Idle step (per step; instructions of the plug-in itself, callgrind)"
for variant in plain diag; do
  for mode in idle tsgap tssample; do
    n=20000
    [ "$mode" = tssample ] && n=2000
    ins=$(own_instructions "$variant" "$mode" "$n")
    calls=$(field "$out/callgrind.$variant.$mode.txt" "firmware calls per unit:")
    printf '   %-6s %-9s %8s instructions   firmware calls %s\n' "$variant" "$mode" "$ins" "$calls"
    eval "ins_${variant}_${mode}=$ins"
  done
done
# Time per step (CPU time, median of 3; the machine may be busy).
"$build/bench/bench_plugin_plain" --benchmark_filter='BM_IdleStep' --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 >"$out/idle.txt" 2>&1 ||
  { echo "idle-step benchmark failed" >&2; failed=1; }
awk '/_median/ {printf "   plain  %-48s CPU %s %s per step\n", $1, $4, $5}' "$out/idle.txt"
verdict "plain build, Idle: own instructions per step" "$ins_plain_idle" 95
verdict "plain build, timeshifting between samples: own instructions" "$ins_plain_tsgap" 125
verdict "plain build, sampling step: own instructions" "$ins_plain_tssample" 370
verdict "diagnostic build, Idle: own instructions per step" "$ins_diag_idle" 95
verdict "diagnostic build, between samples: own instructions" "$ins_diag_tsgap" 125
verdict "diagnostic build, sampling step (one trace line): own instructions" "$ins_diag_tssample" 6500
idle_calls=$(field "$out/callgrind.plain.idle.txt" "firmware calls per unit:")
case "$idle_calls" in
  "2 (TAP_GetState 1, TAP_Hdd_GetRecInfo 1)") echo "   Idle step at the floor (TAP_GetState 1, TAP_Hdd_GetRecInfo 1): met" ;;
  *) echo "   Idle step at the floor: NOT MET ($idle_calls)"; missed=1 ;;
esac

# --------------------------------------------------------------------------
echo
echo "== 2. Expiry pass (plain build; none of the recordings expired)"
for n in 10 1000 10000; do
  sp=$(syscalls_per_unit "expiry-$n" "$n" plain expiry "$n")
  sf=$(syscalls_per_unit "floor-$n" "$n" plain floor "$n")
  cp=$(field "$out/strace.expiry-$n.out" "firmware calls per unit:" | cut -d' ' -f1)
  cf=$(field "$out/strace.floor-$n.out" "firmware calls per unit:" | cut -d' ' -f1)
  printf '   %6s recordings: system calls per recording %s (floor %s), firmware calls %s (floor %s)\n' \
    "$n" "$sp" "$sf" "$cp" "$cf"
  eval "sys_ratio_$n=$(python3 -c "print(round($sp / $sf, 3) if $sf else 0)")"
done
# CPU time: the pass and the floor loop interleaved in one process
# (floor, pass, floor, pass ...), the median of the rounds' ratios.
for n in 10 1000 10000; do
  rounds=$(( n == 10 ? 400 : n == 1000 ? 20 : 5 ))
  driver plain expiry-ratio "$n" "$rounds" >"$out/ratio.expiry-$n.txt" ||
    { echo "interleaved expiry run failed" >&2; failed=1; }
  p=$(sed -n 's/^pass: median \([^ ]*\) .*/\1/p' "$out/ratio.expiry-$n.txt")
  f=$(sed -n 's/^floor: median \([^ ]*\) .*/\1/p' "$out/ratio.expiry-$n.txt")
  r=$(sed -n 's/^ratio pass \/ floor: //p' "$out/ratio.expiry-$n.txt")
  printf '   %6s recordings: time per recording %s us (floor %s us), ratio %s (%s interleaved rounds)\n' \
    "$n" "$p" "$f" "$r" "$rounds"
  eval "time_ratio_$n=${r:-99}"
done
ins_exp=$(own_instructions plain expiry 1000)
ins_floor=$(own_instructions plain floor 1000)
tot_exp=$(field "$out/callgrind.plain.expiry.own" total)
tot_floor=$(field "$out/callgrind.plain.floor.own" total)
ins_ratio=$(python3 -c "print(round($tot_exp / $tot_floor, 3))")
echo "   1000 recordings: instructions per recording of the plug-in itself: pass $ins_exp, floor loop $ins_floor"
echo "   1000 recordings: user-space instructions per recording, firmware included: pass $((tot_exp / 1000)), floor $((tot_floor / 1000)), ratio $ins_ratio"
for n in 10 1000 10000; do
  verdict "$n recordings: system calls, pass / floor" "$(eval echo \$sys_ratio_$n)" 1.05
  verdict "$n recordings: CPU time, pass / floor (interleaved)" "$(eval echo \${time_ratio_$n:-99})" 1.3
done
verdict "1000 recordings: user-space instructions, pass / floor" "$ins_ratio" 1.2
# Linear: the plug-in's own instructions per recording at 10,000 against 10
# (deterministic, unlike the time of two runs apart).
ins_10=$(own_instructions plain expiry 10)
ins_10000=$(own_instructions plain expiry 10000)
lin=$(python3 -c "print(round($ins_10000 / $ins_10, 3))")
echo "   own instructions per recording: $ins_10 at 10, $ins_10000 at 10,000"
verdict "linear: own instructions per recording at 10,000 / at 10" "$lin" 1.1

# --------------------------------------------------------------------------
echo
echo "== 3. Save pass of one buffer (plain build)"
for bytes in 0 4294967296; do
  sc=$(syscalls_per_unit "save-$bytes" 1 plain save "$bytes")
  f="$out/strace.save-$bytes.out"
  procs=$(grep -c 'execve(' "$out/strace.save-$bytes.txt" || true)
  printf '   stream %10s bytes: shell commands %s, firmware calls %s, system calls %s (all processes), programs started %s\n' \
    "$bytes" "$(field "$f" "shell commands per unit:")" "$(field "$f" "firmware calls per unit:" | cut -d' ' -f1)" \
    "$sc" "$((procs - 1))"
  printf '   %31s %s\n' "" "$(tail -n1 "$f")"
  eval "save_shell_$bytes=$(field "$f" "shell commands per unit:"); save_calls_$bytes=$(field "$f" "firmware calls per unit:" | cut -d' ' -f1)"
done
driver plain save-ratio 10 >"$out/ratio.save.txt" || { echo "interleaved save run failed" >&2; failed=1; }
echo "   wall time (10 rounds, empty and 4 GiB interleaved, shell commands included):" \
  "empty $(sed -n 's/^empty: median \([^ ]*\) .*/\1/p' "$out/ratio.save.txt") us," \
  "4 GiB $(sed -n 's/^4GiB: median \([^ ]*\) .*/\1/p' "$out/ratio.save.txt") us," \
  "ratio $(sed -n 's/^ratio 4GiB \/ empty: //p' "$out/ratio.save.txt")"
[ "$save_shell_0" = 3 ] && [ "$save_shell_4294967296" = 3 ] && echo "   three shell commands per recording set: met" ||
  { echo "   three shell commands per recording set: NOT MET"; missed=1; }
[ "$save_calls_0" = "$save_calls_4294967296" ] && grep -q "same inode: yes" "$out/strace.save-4294967296.out" &&
  echo "   4 GiB sparse buffer costs what an empty one costs (same calls, renamed in place): met" ||
  { echo "   4 GiB sparse buffer costs what an empty one costs: NOT MET"; missed=1; }

# --------------------------------------------------------------------------
echo
echo "== 4. Trace line (diagnostic build, per line)"
for term in -1 0 19; do
  sc=$(syscalls_per_unit "trace$term" 1000 diag trace 1000 "$term")
  f="$out/strace.trace$term.out"
  label="no terminal open"
  [ "$term" -ge 0 ] && label="terminal $term open"
  ins=$(own_instructions diag "trace" 1000 "$term")
  printf '   %-18s firmware calls %s, open() of terminals %s, system calls %s, own instructions %s\n' "$label" \
    "$(field "$f" "firmware calls per unit:" | cut -d' ' -f1)" \
    "$(field "$f" "open() calls of the plug-in per unit:")" "$sc" "$ins"
  eval "trace_ins_${term#-}=$ins; trace_sys_${term#-}=$sc"
done
verdict "no terminal open: own instructions per line" "$trace_ins_1" 5800
verdict "terminal 0 open: own instructions per line" "$trace_ins_0" 5100
verdict "only terminal 19 open: own instructions per line" "$trace_ins_19" 5900
verdict "no terminal open: system calls per line (80 failed opens)" "$trace_sys_1" 94

"$build/bench/bench_plugin_diag" --benchmark_filter='BM_TraceLine' --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 >"$out/trace.txt" 2>&1 ||
  { echo "trace-line benchmark failed" >&2; failed=1; }
awk '/_median/ {printf "   diag   %-24s CPU %s %s, wall %s %s per line (argument: terminal open, -1 none)\n", $1, $4, $5, $2, $3}' "$out/trace.txt"

# --------------------------------------------------------------------------
echo
echo "== 5. Simulated receiver: an idle day"
for scn in "$root/bench/idle_evening.scn" "$root/scenarios/idle_day.scn"; do
  for tap in brantlow-plain brantlow; do
    best=99
    for _ in 1 2 3; do
      t0=$(date +%s%N)
      "$build/sim/tapsim" --quiet --disk "$disks/tapsim" "$build/$tap.tap" "$scn" >/dev/null ||
        { echo "tapsim failed on $scn" >&2; failed=1; }
      t1=$(date +%s%N)
      s=$(python3 -c "print(round(($t1 - $t0) / 1e9, 3))")
      best=$(python3 -c "print(min($best, $s))")
    done
    rate=$(python3 -c "print(round(24 / max($best, 0.01)))")
    printf '   %-18s %-15s a simulated day in %s s (%s simulated hours per second)\n' \
      "$(basename "$scn")" "$tap" "$best" "$rate"
    verdict "$(basename "$scn") $tap: seconds per simulated day" "$best" 1 " s"
  done
done

# --------------------------------------------------------------------------
echo
echo "== 6. Footprint of the receiver build (mipsel)"
if [ "$do_receiver" = 1 ]; then
  if [ "$do_build" = 1 ]; then
    cmake --preset receiver -S "$root" -B "$receiver" >/dev/null 2>&1 &&
      cmake --build "$receiver" -j2 --target brantlow_tap_diag brantlow_tap_plain >"$out/receiver-build.log" 2>&1 ||
      echo "   receiver build failed (see $out/receiver-build.log)"
  fi
  for tap in brantlow-plain brantlow; do
    f="$receiver/$tap.tap"
    if [ ! -f "$f" ]; then
      echo "   $tap.tap: not built"; failed=1; continue
    fi
    read -r text data bss _ <<<"$(mipsel-linux-gnu-size "$f" | tail -n1)"
    bytes=$(stat -c %s "$f")
    stripped=$(mipsel-linux-gnu-strip -o "$out/$tap.stripped" "$f" && stat -c %s "$out/$tap.stripped")
    printf '   %-15s file %s bytes (stripped %s), text %s, data %s, bss %s\n' "$tap.tap" "$bytes" "$stripped" "$text" "$data" "$bss"
    if [ "$tap" = brantlow-plain ]; then
      verdict "plain build: file size" "$bytes" 65536 " bytes"
      verdict "plain build: static data (data + bss)" "$((data + bss))" 16384 " bytes"
    fi
  done
  for variant in plain diag; do
    su=$(find "$receiver/CMakeFiles/brantlow_obj_$variant.dir" -name '*.su' 2>/dev/null | xargs -r cat | sort -t$'\t' -k2 -n -r | head -n1)
    printf '   largest stack frame (%s): %s\n' "$variant" "${su:-none found}"
  done
else
  echo "   skipped (--no-receiver)"
fi

echo
echo "== Done in $(( $(date +%s) - started )) s; raw outputs in $out"
rm -rf "$disks"
[ "$failed" = 0 ] || exit 2
[ "$missed" = 0 ] || exit 1
exit 0
