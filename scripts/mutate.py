#!/usr/bin/env python3
"""Mutation testing of the plug-in's sources against the host test suite.

Each mutant of scripts/mutants.txt is a small text edit of one file of app/
or lib/: an original snippet that must occur exactly once in the file, and
its replacement. The mutants are applied one at a time to a scratch copy of
the tree (never to the working tree), the copy is rebuilt incrementally and
the fast suite runs against it:

    ctest -j2 --stop-on-failure -E 'build\\.elf|docs\\.(commands|figures)|report\\.html|^program\\.'

that is the whole host suite (unit tests, scenarios for both builds, the
runner's tests, the soak test with 150 seeds) except the ELF layout checks,
the quoted-command and page-figure checks and the browser rendering of the
HTML report, which read no behaviour of the plug-in's code beyond what the
scenarios read, and the whole-program runs of the unit tests (program.*),
which run the same cases again. A failing test (or a run that hangs past the
time limit) kills the mutant.

Results per mutant:
  killed     a test failed
  survived   every test passed: a fault that no test catches
  accepted   survived, and the list gives the reason it is harmless
  stale      the original snippet is no longer in the file (never killed)
  ambiguous  the snippet occurs more than once (never applied)
  invalid    the mutant does not compile

Run by hand, not in CI (3 to 86 s a mutant on two cores, 16 s the median,
with the load of the moment; the whole list in about 70 minutes):

    nice scripts/mutate.py [-j2] [--only TEXT] [--numbers 3,17] [--work DIR]

The scratch tree and its build folder are kept between runs, so only what a
mutant touches is rebuilt. Exit status: 0 when every mutant was killed or
accepted, 1 otherwise, 2 when the unmutated tree does not pass.
"""

import argparse
import dataclasses
import os
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXCLUDED_TESTS = r"build\.elf|docs\.(commands|figures)|report\.html|^program\."
# The soak test's seeds in the scratch build: enough to kill what it kills,
# few enough that a mutant costs seconds.
SOAK_SEEDS = 150


@dataclasses.dataclass
class Mutant:
    number: int
    path: str
    title: str
    line: int  # line of the list file
    original: str = ""
    replacement: str = ""
    accepted: str = ""
    status: str = ""
    source_line: int = 0


def parse_mutants(list_path):
    """Blocks of '@ FILE title', '- original' lines, '+ replacement' lines and
    an optional '? reason' (a survivor accepted as harmless)."""
    mutants = []
    current = None
    olds, news = [], []

    def finish():
        if current is not None:
            if not olds:
                sys.exit(f"{list_path}:{current.line}: mutant without an original snippet")
            current.original = "\n".join(olds)
            current.replacement = "\n".join(news)
            mutants.append(current)

    with open(list_path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            text = raw.rstrip("\n")
            if not text.strip() or text.startswith("#"):
                continue
            tag, rest = text[0], text[2:] if len(text) > 1 else ""
            if tag == "@":
                finish()
                path, _, title = rest.partition(" ")
                current = Mutant(len(mutants) + 1, path, title.strip(), number)
                olds, news = [], []
            elif current is None:
                sys.exit(f"{list_path}:{number}: line before the first '@'")
            elif tag == "-":
                olds.append(rest)
            elif tag == "+":
                news.append(rest)
            elif tag == "?":
                current.accepted = rest.strip()
            else:
                sys.exit(f"{list_path}:{number}: unknown line {text!r}")
    finish()
    return mutants


def tracked_files():
    out = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], check=True,
                         capture_output=True).stdout
    return [p for p in out.decode().split("\0") if p]


def sync_tree(src):
    """Copies the working tree's tracked files into the scratch tree, only
    those whose content differs, so the incremental build stays valid."""
    changed = 0
    for rel in tracked_files():
        a = os.path.join(ROOT, rel)
        b = os.path.join(src, rel)
        if not os.path.isfile(a):
            continue
        with open(a, "rb") as f:
            data = f.read()
        if os.path.isfile(b):
            with open(b, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(b), exist_ok=True)
        with open(b, "wb") as f:
            f.write(data)
        shutil.copymode(a, b)
        changed += 1
    return changed


def run(cmd, cwd, timeout):
    """Runs cmd in a process group of its own; returns (code, output), code
    None after a time-out (the whole group is stopped)."""
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out.decode(errors="replace")
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return None, out.decode(errors="replace")


class Tree:
    def __init__(self, work, jobs, timeout):
        self.src = os.path.join(work, "src")
        self.build = os.path.join(work, "build")
        self.jobs = jobs
        self.timeout = timeout

    def prepare(self):
        os.makedirs(self.src, exist_ok=True)
        changed = sync_tree(self.src)
        if not os.path.isfile(os.path.join(self.build, "build.ninja")):
            code, out = run(["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
                             "-DCMAKE_BUILD_TYPE=", "-DBRANTLOW_BENCH=OFF",
                             f"-DBRANTLOW_SOAK_RUN_SEEDS={SOAK_SEEDS}",
                             "-DBRANTLOW_CRASH_QUICK=ON",
                             "-DBRANTLOW_WERROR=OFF"], self.src, 600)
            if code != 0:
                sys.exit("configure failed:\n" + out)
        return changed

    def compile(self):
        code, out = run(["cmake", "--build", self.build, f"-j{self.jobs}"], self.src, 1200)
        return code == 0, out

    def suite(self):
        code, out = run(["ctest", "--test-dir", self.build, f"-j{self.jobs}", "--stop-on-failure",
                         "-E", EXCLUDED_TESTS], self.src, self.timeout)
        return code, out


def first_failure(out):
    for line in out.splitlines():
        if "***Failed" in line or "***Timeout" in line or "***Exception" in line or \
                "(Failed)" in line or "(Timeout)" in line:
            return line.split(":", 1)[-1].split("...")[0].strip()
    return ""


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--list", default=os.path.join(ROOT, "scripts", "mutants.txt"))
    ap.add_argument("--work", default="/tmp/brantlow-mutate")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    ap.add_argument("--only", default="", help="run the mutants whose file or title holds TEXT")
    ap.add_argument("--numbers", default="",
                    help="run only these mutants (comma-separated numbers, e.g. the survivors "
                    "of an earlier run)")
    # A suite that passes takes 15 s to a minute on two cores, but under the
    # load of other builds the crash and soak tests alone can take many
    # minutes: a limit too short would count slow survivors as killed.
    ap.add_argument("--timeout", type=int, default=900, help="seconds for one suite run")
    ap.add_argument("--verbose", action="store_true", help="name the test that killed each")
    args = ap.parse_args()

    mutants = parse_mutants(args.list)
    if args.only:
        mutants = [m for m in mutants if args.only in m.path or args.only in m.title]
    if args.numbers:
        wanted = {int(n) for n in args.numbers.split(",") if n.strip()}
        mutants = [m for m in mutants if m.number in wanted]
    tree = Tree(args.work, args.jobs, args.timeout)
    tree.prepare()

    started = time.time()
    ok, out = tree.compile()
    if not ok:
        print(out[-4000:])
        sys.exit("the unmutated tree does not build")
    code, out = tree.suite()
    if code != 0:
        print(out[-4000:])
        print("the unmutated tree does not pass its suite", file=sys.stderr)
        return 2
    print(f"unmutated tree: built and passed in {time.time() - started:.0f} s", flush=True)

    # Mutants of one file one after another: each file is rebuilt once more
    # when its original comes back.
    for m in sorted(mutants, key=lambda m: (m.path, m.number)):
        path = os.path.join(tree.src, m.path)
        t0 = time.time()
        detail = ""
        try:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        except FileNotFoundError:
            text = ""
        hits = text.count(m.original)
        if hits == 0:
            m.status = "stale"
        elif hits > 1:
            m.status = "ambiguous"
        else:
            m.source_line = text[:text.index(m.original)].count("\n") + 1
            with open(path, "w", encoding="utf-8") as f:
                f.write(text.replace(m.original, m.replacement))
            try:
                ok, out = tree.compile()
                if not ok:
                    m.status = "invalid"
                else:
                    code, out = tree.suite()
                    if code == 0:
                        m.status = "accepted" if m.accepted else "survived"
                    else:
                        m.status = "killed"
                        detail = "time-out" if code is None else first_failure(out)
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
        where = f"{m.path}:{m.source_line}" if m.source_line else m.path
        extra = f"  [{detail}]" if args.verbose and detail else ""
        print(f"{m.number:3d}  {m.status:9s} {where:28s} {m.title}{extra}"
              f"  ({time.time() - t0:.0f} s)", flush=True)

    # Leave the scratch build matching the working tree for the next run.
    tree.compile()

    counts = {}
    for m in mutants:
        counts[m.status] = counts.get(m.status, 0) + 1
    print()
    print(f"{len(mutants)} mutants in {time.time() - started:.0f} s: " +
          ", ".join(f"{counts.get(s, 0)} {s}" for s in
                    ("killed", "survived", "accepted", "stale", "ambiguous", "invalid")))
    score = counts.get("killed", 0) + counts.get("accepted", 0)
    applied = len(mutants) - counts.get("stale", 0) - counts.get("ambiguous", 0) - \
        counts.get("invalid", 0)
    if applied:
        print(f"killed {counts.get('killed', 0)} of {applied} applied mutants "
              f"({100.0 * counts.get('killed', 0) / applied:.0f} %), "
              f"{score} killed or accepted")
    for m in mutants:
        if m.status == "survived":
            print(f"  survived {m.number}: {m.path}:{m.source_line} {m.title}")
        elif m.status == "accepted":
            print(f"  accepted {m.number}: {m.path}:{m.source_line} {m.title}: {m.accepted}")
        elif m.status in ("stale", "ambiguous", "invalid"):
            print(f"  {m.status} {m.number}: {m.path} {m.title}")
    return 0 if all(m.status in ("killed", "accepted") for m in mutants) else 1


if __name__ == "__main__":
    sys.exit(main())
