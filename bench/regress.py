#!/usr/bin/env python3
"""The benchmarks' deterministic figures, checked against bench/baseline.json.

For every case the driver (bench_driver) runs one measured stretch and prints
the firmware calls it made (in all and per API function) and the shell
commands it ran; callgrind gives the plug-in's instructions and strace the
system calls of the driver's process between its markers.

    regress.py --build-dir DIR [--baseline FILE] [--update] [--only CASE...]

What is compared depends on how far this machine is the baseline's (its
"environment": compiler, C library, processor features, valgrind):

- firmware calls (in all and per function) and shell commands: exactly,
  everywhere; they depend on nothing but the plug-in and the simulator;
- the plug-in's own instructions (its code alone, the C library's share left
  out): exactly, where the compiler and build type are the baseline's;
- system calls: exactly, where the C library is the baseline's (the calls of
  a call the kernel does not know, and calls repeated after a signal, are not
  counted, so the kernel and the timing do not change them);
- the plug-in's instructions with the C library's share: within the tolerance,
  where the whole environment is the baseline's.

The test is never skipped: on any machine it checks at least the first. A
figure that differs fails; the message names the command that takes a meant
change up: scripts/bench.sh --update-baseline. Exit status 0 when every
compared figure matches (or the baseline was written), 1 when one does not, 2
when a measurement failed.

The driver runs with a fixed environment, from copies of itself and of the
simulator (libtap.so, the shell's mv) in a folder of fixed length and depth
(/dev/shm/brantlow-bench-XXXXXXXX or /var/tmp/...), so that neither the
checkout's path nor the caller's environment moves what the loader, the C
library and the simulator do.
"""
import argparse
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import callgrind_own  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UPDATE_COMMAND = "scripts/bench.sh --update-baseline"
TOLERANCE = 0.03
VALGRIND = shutil.which("valgrind")
STRACE = shutil.which("strace")
# Folders the work folder may lie in: both of 8 characters and two levels.
WORK_BASES = ("/dev/shm", "/var/tmp")

# name: (description, build, driver arguments, units)
CASES = {
    "idle.plain": ("idle step in Idle, plain build", "plain", ["idle", "2000"], 2000),
    "tsgap.plain": ("idle step while timeshifting, between samples, plain build", "plain",
                    ["tsgap", "990"], 990),
    "tssample.plain": ("sampling step while timeshifting, plain build", "plain",
                       ["tssample", "200"], 200),
    "idle.diag": ("idle step in Idle, diagnostic build", "diag", ["idle", "2000"], 2000),
    "tsgap.diag": ("idle step while timeshifting, between samples, diagnostic build", "diag",
                   ["tsgap", "990"], 990),
    "tssample.diag": ("sampling step while timeshifting, diagnostic build (one trace line)",
                      "diag", ["tssample", "200"], 200),
    "trace.none": ("trace line, no terminal open", "diag", ["trace", "200", "-1"], 200),
    "trace.pts0": ("trace line, /dev/pts/0 open", "diag", ["trace", "200", "0"], 200),
    "trace.pts19": ("trace line, only /dev/pts/19 open", "diag", ["trace", "200", "19"], 200),
    "expiry.10": ("expiry pass over 10 recordings (none expired), plain build",
                  "plain", ["expiry", "10"], 10),
    "expiry.10000": ("expiry pass over 10,000 recordings (none expired), plain build",
                     "plain", ["expiry", "10000"], 10000),
    "save": ("save pass of one buffer (empty stream), plain build", "plain", ["save", "0"], 1),
}

# The figures of a case, in the units of the whole stretch (not per unit), and
# the part of the environment each depends on (None: nothing).
EXACT = (
    ("firmware_calls", None),
    ("firmware_calls_by_function", None),
    ("shell_commands", None),
    ("plugin_instructions", ("compiler",)),
    ("system_calls", ("libc",)),
)
WITHIN_TOLERANCE = (("own_instructions", ("compiler", "libc", "cpu", "valgrind")),)
NEEDS = {"plugin_instructions": "valgrind", "own_instructions": "valgrind",
         "system_calls": "strace"}


class MeasureError(Exception):
    pass


def run(cmd, env, what):
    done = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          errors="replace")
    if done.returncode != 0:
        raise MeasureError(f"{what} failed ({done.returncode}): {done.stderr.strip()[-400:]}")
    return done.stdout


def driver_counts(report, what):
    """Firmware calls (in all, per function) and shell commands a driver printed."""
    calls = re.search(r"^firmware calls in all: (\d+) \((.*)\)$", report, re.M)
    shell = re.search(r"^shell commands in all: (\d+)$", report, re.M)
    if not calls or not shell:
        raise MeasureError(f"{what}: the driver printed no counts")
    return {"firmware_calls": int(calls.group(1)), "firmware_calls_by_function": calls.group(2),
            "shell_commands": int(shell.group(1))}


def counted_system_calls(trace_file):
    """System calls between the driver's markers in an strace log of its process.

    Left out: a call that failed with ENOSYS (a kernel without it; the C
    library then makes the older call, which is counted) and a call cut short
    by a signal (EINTR, ERESTART*, restart_syscall), which is made again."""
    calls, on = 0, False
    with open(trace_file, encoding="utf-8", errors="replace") as f:
        for line in f:
            if "brantlow-bench-begin" in line:
                on = True
            elif "brantlow-bench-end" in line:
                on = False
            elif on and re.match(r"^\w+\(", line):
                if line.startswith("restart_syscall("):
                    continue
                if re.search(r"= (-1 (ENOSYS|EINTR)|\? ERESTART)", line):
                    continue
                calls += 1
    return calls


def measure(work, case):
    _, variant, args, _ = CASES[case]
    exe = os.path.join(work, "bench", f"bench_driver_{variant}")
    env = {"PATH": "/usr/bin:/bin", "BRANTLOW_BENCH_DISK": os.path.join(work, "disks"),
           "LD_BIND_NOW": "1",
           # The heap grows or shrinks at the edges of a stretch only: where
           # the C library asks for memory must not depend on what ran before.
           "GLIBC_TUNABLES": "glibc.malloc.top_pad=67108864:glibc.malloc.trim_threshold=134217728"}
    figures, reports = {}, []
    if VALGRIND:
        profile = os.path.join(work, f"callgrind.{case}.out")
        reports.append(run([VALGRIND, "--tool=callgrind", "--collect-atstart=no",
                            f"--callgrind-out-file={profile}", exe] + args, env,
                           f"callgrind of {case}"))
        parsed = callgrind_own.parse(profile)
        os.remove(profile)
        own, plugin, _ = callgrind_own.split_own(*parsed)
        figures.update(own_instructions=own, plugin_instructions=plugin)
    if STRACE:
        trace = os.path.join(work, f"strace.{case}.txt")
        # The driver's own process only: the shell commands of the save pass
        # are counted as commands, not by what the shell does.
        reports.append(run([STRACE, "-qq", "-o", trace, exe] + args, env, f"strace of {case}"))
        figures["system_calls"] = counted_system_calls(trace)
        os.remove(trace)
    if not reports:
        reports.append(run([exe] + args, env, f"run of {case}"))
    counts = [driver_counts(r, case) for r in reports]
    if any(c != counts[0] for c in counts):
        raise MeasureError(f"{case}: the counts differ from run to run: {counts}")
    figures.update(counts[0])
    return figures


def environment(build_dir):
    try:
        with open(os.path.join(build_dir, "bench", "toolchain.txt"), encoding="utf-8") as f:
            compiler = f.read().strip()
    except OSError:
        raise MeasureError(f"{build_dir} is not a build tree with the benchmarks")
    libc = " ".join(os.confstr("CS_GNU_LIBC_VERSION").split()) if hasattr(os, "confstr") else ""
    valgrind = ""
    if VALGRIND:
        valgrind = subprocess.run([VALGRIND, "--version"], stdout=subprocess.PIPE, text=True,
                                  check=False).stdout.strip()
    return {"compiler": compiler, "libc": libc, "cpu": cpu_features(), "valgrind": valgrind}


def cpu_features():
    """The processor features by which the C library picks its string routines.

    Under valgrind the C library still chooses memcpy, strlen and the like by
    the processor's features, and the variants differ in instructions."""
    wanted = ("sse4_2", "avx2", "bmi2", "erms", "fsrm")
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("flags"):
                    have = set(line.split(":", 1)[1].split())
                    return " ".join(w for w in wanted if w in have)
    except OSError:
        pass
    return ""


def make_work_folder(build_dir):
    """The work folder with copies of the drivers and of the simulator.

    The drivers find libtap.so as $ORIGIN/../sim, the simulator its mv in
    shellbin/ beside itself. Returns (folder, whether its path has the standard
    shape)."""
    base = next((b for b in WORK_BASES if os.path.isdir(b) and os.access(b, os.W_OK)
                 and os.path.realpath(b) == b), None)
    work = tempfile.mkdtemp(prefix="brantlow-bench-", dir=base)
    os.makedirs(os.path.join(work, "bench"))
    os.makedirs(os.path.join(work, "disks"))
    for variant in ("plain", "diag"):
        shutil.copy2(os.path.join(build_dir, "bench", f"bench_driver_{variant}"),
                     os.path.join(work, "bench"))
    sim = os.path.join(build_dir, "sim")
    os.makedirs(os.path.join(work, "sim"))
    shutil.copy2(os.path.join(sim, "libtap.so"), os.path.join(work, "sim"))
    shutil.copytree(os.path.join(sim, "shellbin"), os.path.join(work, "sim", "shellbin"))
    return work, base is not None


def per_unit(value, units):
    return value if isinstance(value, str) else f"{value / units:.6g}"


def compare(base, now, env, base_env, tolerance, missing_tools):
    """(failures, notes): lines for figures that differ, and for those not compared."""
    failures, notes = [], []
    for name, needs in EXACT + WITHIN_TOLERANCE:
        exact = (name, needs) in EXACT
        if name in NEEDS and NEEDS[name] in missing_tools:
            notes.append(f"{name}: not measured ({NEEDS[name]} is missing)")
            continue
        differs = [k for k in (needs or ()) if env.get(k) != base_env.get(k)]
        if differs:
            notes.append(f"{name}: not compared, this machine is not the baseline's in "
                         + ", ".join(f"{k} (\"{env.get(k)}\", the baseline's \"{base_env.get(k)}\")"
                                     for k in differs))
            continue
        for case, figures in base.items():
            got = now.get(case, {}).get(name)
            want = figures.get(name)
            if got is None or want is None:
                failures.append(f"{case} {name}: {'not measured' if got is None else 'not in the baseline'}")
                continue
            units = CASES[case][3]
            if isinstance(want, str):
                if got != want:
                    failures.append(f"{case} {name} in all: {got}; the baseline's: {want}")
            elif exact and got != want:
                failures.append(f"{case} {name}: {per_unit(got, units)} per unit against the "
                                f"baseline's {per_unit(want, units)} (in all {got} against {want})")
            elif not exact and abs(got - want) > tolerance * abs(want):
                failures.append(f"{case} {name}: {per_unit(got, units)} per unit against the "
                                f"baseline's {per_unit(want, units)} "
                                f"({(got - want) / want * 100 if want else float('inf'):+.1f} %, "
                                f"tolerance {tolerance * 100:g} %)")
    return failures, notes


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--baseline", default=os.path.join(ROOT, "bench", "baseline.json"))
    ap.add_argument("--update", action="store_true", help="write the baseline from this run")
    ap.add_argument("--only", nargs="*", help="measure these cases only (no comparison of others)")
    opts = ap.parse_args()
    build_dir = os.path.abspath(opts.build_dir)

    missing = [tool for tool, path in (("valgrind", VALGRIND), ("strace", STRACE)) if not path]
    if opts.update and missing:
        print(f"bench baseline: {' and '.join(missing)} missing: cannot write the baseline "
              "(scripts/setup.sh installs them)")
        return 2
    try:
        env = environment(build_dir)
    except MeasureError as e:
        print(f"bench baseline: {e}")
        return 2

    base = None
    if not opts.update:
        try:
            with open(opts.baseline, encoding="utf-8") as f:
                base = json.load(f)
        except (OSError, ValueError) as e:
            print(f"bench baseline: cannot read {opts.baseline}: {e}; make it with {UPDATE_COMMAND}")
            return 1

    cases = opts.only or list(CASES)
    now = {}
    work, standard = make_work_folder(build_dir)
    if not standard:
        # The simulator's look-up of its shell folder costs a system call per
        # level of the path: only the count of the baseline's shape compares.
        missing.append("strace")
        print(f"bench baseline: no writable {' or '.join(WORK_BASES)}: system calls not compared")
    try:
        # Two at a time: the counts do not depend on what else runs.
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            jobs = {case: pool.submit(measure, work, case) for case in cases}
            for case in cases:
                try:
                    now[case] = jobs[case].result()
                except MeasureError as e:
                    print(f"bench baseline: {e}")
                    return 2
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"  per unit        {'firmware calls':>14} {'shell commands':>14} {'plug-in code':>16} "
          f"{'own, with libc':>14} {'system calls':>12}")
    for case in cases:
        f, units = now[case], CASES[case][3]
        cell = lambda name: per_unit(f[name], units) if name in f else "-"  # noqa: E731
        print(f"  {case:<15} {cell('firmware_calls'):>14} {cell('shell_commands'):>14} "
              f"{cell('plugin_instructions'):>16} {cell('own_instructions'):>14} "
              f"{cell('system_calls'):>12}")

    if opts.update:
        kept = {}
        if opts.only and os.path.exists(opts.baseline):  # the other cases stay as they were
            with open(opts.baseline, encoding="utf-8") as f:
                kept = json.load(f).get("cases", {})
        data = {
            "about": "Deterministic figures of the benchmarks, for the whole measured stretch "
                     "of each case (divide by units for one step, line, recording or pass); "
                     "checked by the ctest test bench.baseline (bench/regress.py). "
                     f"Regenerate with {UPDATE_COMMAND}.",
            "environment": env,
            "tolerance": TOLERANCE,
            "cases": {c: kept.get(c) if c not in now else
                      dict(description=CASES[c][0], units=CASES[c][3], **now[c])
                      for c in CASES if c in now or c in kept},
        }
        with open(opts.baseline, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=2)
            f.write("\n")
        print(f"bench baseline: written to {opts.baseline}")
        return 0

    base_cases = {c: v for c, v in base.get("cases", {}).items() if not opts.only or c in opts.only}
    failures, notes = compare(base_cases, now, env, base.get("environment", {}),
                              float(base.get("tolerance", TOLERANCE)), missing)
    for text in notes:
        print(f"bench baseline: {text}")
    for text in failures:
        print(f"bench baseline: differs: {text}")
    if failures:
        print(f"bench baseline: FAILED; if the change is meant, take the new figures up: "
              f"{UPDATE_COMMAND}")
        return 1
    compared = [n for n, _ in EXACT + WITHIN_TOLERANCE if not any(n in t for t in notes)]
    print(f"bench baseline: {len(base_cases)} cases match {opts.baseline} in "
          + ", ".join(compared))
    return 0


if __name__ == "__main__":
    sys.exit(main())
