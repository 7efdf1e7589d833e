#!/usr/bin/env python3
"""The benchmarks' deterministic figures, checked against bench/baseline.json.

For every case the plug-in's own instructions per unit (callgrind, the
simulated firmware and the driver taken off, see callgrind_own.py), its
firmware calls per unit (the simulated receiver's counts, printed by the
driver) and its system calls per unit (strace of the driver process, between
the driver's markers) are measured and compared with the baseline.

    regress.py --build-dir DIR [--baseline FILE] [--update] [--only CASE...]

A figure more than the tolerance above its baseline is a regression; one more
than the tolerance below it is an improvement that the baseline must take up
(the message gives the command). Exit status 0 when every figure is within the
tolerance (or the baseline was written), 1 when one is not, 2 when a
measurement failed, 77 (skipped) when valgrind or strace is missing or the
baseline was made with another toolchain.
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
SKIP = 77
VALGRIND = shutil.which("valgrind")
STRACE = shutil.which("strace")

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
    "expiry.10": ("expiry pass over 10 recordings (none expired), per recording, plain build",
                  "plain", ["expiry", "10"], 10),
    "expiry.10000": ("expiry pass over 10,000 recordings (none expired), per recording, "
                     "plain build", "plain", ["expiry", "10000"], 10000),
    "save": ("save pass of one buffer (empty stream), plain build", "plain", ["save", "0"], 1),
}
FIGURES = ("own_instructions", "firmware_calls", "system_calls")


class MeasureError(Exception):
    pass


def driver_path(build, variant):
    return os.path.join(build, "bench", f"bench_driver_{variant}")


def run(cmd, env, what):
    done = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise MeasureError(f"{what} failed ({done.returncode}): {done.stderr.strip()[-400:]}")
    return done.stdout


def firmware_calls(report, units):
    m = re.search(r"^firmware calls per unit: ([0-9.e+-]+)", report, re.M)
    if not m:
        raise MeasureError("the driver printed no firmware calls")
    return round(float(m.group(1)), 4)


def measure(build, case, work):
    _, variant, args, units = CASES[case]
    # The C library's string functions take paths that depend on where the
    # stack's buffers fall, and the stack begins below the program's
    # environment and arguments: the driver runs with a fixed environment
    # and under a name of fixed length, wherever the build tree lies.
    exe = os.path.join(work, f"bench_driver_{variant}")
    env = {"PATH": "/usr/bin:/bin", "BRANTLOW_BENCH_DISK": work, "LD_BIND_NOW": "1"}
    profile = os.path.join(work, f"callgrind.{case}.out")
    report = run([VALGRIND, "--tool=callgrind", "--collect-atstart=no",
                  f"--callgrind-out-file={profile}", exe] + args, env, f"callgrind of {case}")
    total, firmware, driver, _, _ = callgrind_own.parse(profile)
    os.remove(profile)
    own = round((total - firmware - driver) / units, 1)

    trace = os.path.join(work, f"strace.{case}.txt")
    # The driver's own process only: the shell commands of the save pass are
    # counted as commands, not by what the shell does.
    run([STRACE, "-qq", "-o", trace, exe] + args, env, f"strace of {case}")
    calls, on = 0, False
    with open(trace, encoding="utf-8", errors="replace") as f:
        for line in f:
            if "brantlow-bench-begin" in line:
                on = True
            elif "brantlow-bench-end" in line:
                on = False
            elif on and re.match(r"^\w+\(", line):
                calls += 1
    os.remove(trace)
    return {"own_instructions": own, "firmware_calls": firmware_calls(report, units),
            "system_calls": round(calls / units, 4)}


def compare(base, now, tolerance):
    """Lines describing each figure outside the tolerance, as (kind, text)."""
    out = []
    for case, figures in base.items():
        got = now.get(case)
        if got is None:
            out.append(("missing", f"{case}: not measured"))
            continue
        for name in FIGURES:
            b, g = figures[name], got[name]
            slack = tolerance * abs(b) + 0.01  # the rounding of the printed figures
            if g > b + slack:
                out.append(("regression", f"{case} {name}: {g:g} against baseline {b:g} "
                            f"(+{(g - b) / b * 100 if b else float('inf'):.1f} %)"))
            elif g < b - slack:
                out.append(("improvement", f"{case} {name}: {g:g} against baseline {b:g} "
                            f"({(g - b) / b * 100:.1f} %)"))
    return out


def cpu_features():
    """The processor features by which the C library picks its string routines.

    Under valgrind the C library still chooses memcpy, strlen and the like by
    the processor's features, and the variants differ in instructions: counts
    taken on a processor with other features belong to another baseline."""
    wanted = ("sse4_2", "avx2", "bmi2", "erms", "fsrm")
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("flags"):
                    have = set(line.split(":", 1)[1].split())
                    return "cpu " + " ".join(w for w in wanted if w in have)
    except OSError:
        pass
    return ""


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--baseline", default=os.path.join(ROOT, "bench", "baseline.json"))
    ap.add_argument("--update", action="store_true", help="write the baseline from this run")
    ap.add_argument("--only", nargs="*", help="measure these cases only (no comparison of others)")
    opts = ap.parse_args()

    for tool, path in (("valgrind", VALGRIND), ("strace", STRACE)):
        if not path:
            print(f"bench baseline: skipped, {tool} is missing (scripts/setup.sh installs it)")
            return SKIP
    libc = " ".join(os.confstr("CS_GNU_LIBC_VERSION").split()) if hasattr(os, "confstr") else ""
    try:
        with open(os.path.join(opts.build_dir, "bench", "toolchain.txt"), encoding="utf-8") as f:
            compiler = f.read().strip()
    except OSError:
        print(f"bench baseline: {opts.build_dir} is not a build tree with the benchmarks")
        return 2
    toolchain = f"{compiler}, {libc}".strip(", ")
    cpu = cpu_features()
    if cpu:
        toolchain += f", {cpu}"

    base = None
    if not opts.update:
        try:
            with open(opts.baseline, encoding="utf-8") as f:
                base = json.load(f)
        except OSError as e:
            print(f"bench baseline: cannot read {opts.baseline}: {e}; make it with {UPDATE_COMMAND}")
            return 1
        if base.get("toolchain") != toolchain:
            print(f"bench baseline: skipped, the baseline was made with \"{base.get('toolchain')}\", "
                  f"this build is \"{toolchain}\" (instruction counts belong to one toolchain); "
                  f"to check against this one: {UPDATE_COMMAND}")
            return SKIP

    cases = opts.only or list(CASES)
    now = {}
    # The sandboxes on a memory file system where there is one: making 10,000
    # recording sets on a busy disk takes far longer than measuring them.
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    work = tempfile.mkdtemp(prefix="brantlow-bench-", dir=shm)
    for variant in ("plain", "diag"):
        os.symlink(os.path.abspath(driver_path(opts.build_dir, variant)),
                   os.path.join(work, f"bench_driver_{variant}"))
    try:
        # Two at a time: the counts do not depend on what else runs.
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            jobs = {case: pool.submit(measure, opts.build_dir, case, work) for case in cases}
            for case in cases:
                try:
                    now[case] = jobs[case].result()
                except MeasureError as e:
                    print(f"bench baseline: {e}")
                    return 2
        for case in cases:
            f = now[case]
            print(f"  {case:<15} own instructions {f['own_instructions']:>10g}   firmware calls "
                  f"{f['firmware_calls']:>7g}   system calls {f['system_calls']:>7g}")
    finally:
        shutil.rmtree(work, ignore_errors=True)

    if opts.update:
        kept = {}
        if opts.only and os.path.exists(opts.baseline):  # the other cases stay as they were
            with open(opts.baseline, encoding="utf-8") as f:
                kept = json.load(f).get("cases", {})
        data = {
            "about": "Deterministic figures of the benchmarks, per unit (step, line, recording, "
                     "pass); checked by the ctest test bench.baseline (bench/regress.py). "
                     f"Regenerate with {UPDATE_COMMAND}.",
            "toolchain": toolchain,
            "tolerance": TOLERANCE,
            "cases": {c: kept.get(c) if c not in now else dict(description=CASES[c][0], **now[c])
                      for c in CASES if c in now or c in kept},
        }
        with open(opts.baseline, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=2)
            f.write("\n")
        print(f"bench baseline: written to {opts.baseline}")
        return 0

    cases_base = {c: v for c, v in base["cases"].items() if not opts.only or c in opts.only}
    problems = compare(cases_base, now, float(base.get("tolerance", TOLERANCE)))
    for kind, text in problems:
        print(f"bench baseline: {kind}: {text}")
    if any(kind != "improvement" for kind, _ in problems):
        print(f"bench baseline: FAILED (tolerance {base.get('tolerance', TOLERANCE) * 100:g} %); "
              f"if the new cost is intended, update the baseline: {UPDATE_COMMAND}")
        return 1
    if problems:
        print(f"bench baseline: FAILED, figures improved beyond the tolerance; take them up in "
              f"the baseline: {UPDATE_COMMAND}")
        return 1
    print(f"bench baseline: {len(now)} cases within {base.get('tolerance', TOLERANCE) * 100:g} % "
          f"of {opts.baseline}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
