#!/usr/bin/env python3
"""Crash test: the power cut after every disk change of a small corpus.

    crash_test.py [options] TAPSIM PLUGIN [PLUGIN ...]

For each scenario of the corpus and each plug-in file it plays the scenario
once to count the plug-in's disk changes K, then for every k from 1 to K
plays it again with the power cut right after change k (and, where change k
is a write, once more with the cut half way through it), on to the end and
through one more timeshift period, and checks the disk with a checker of its
own. After every cut the firmware starts a new timeshift buffer as it comes
back ("boot timeshift"), so a name the plug-in vacated is taken at once.

The checker reads the disk folder through the host's file system and shares
no code with the plug-in or the simulator: it knows the disk at power-on (a
run that stops there) and the text by which the simulated firmware's
recording sets can be told apart (the path a set was made under and its
start, in the stream from byte 1, in the .inf from byte 28, in the .nav from
its start).

After every run it demands:
- every recording set whole: stream, .inf and .nav side by side under one
  name, in one folder, each file byte for byte as it was; sets in the
  timeshift folder or Save stay in one of those two, every other stays put;
- every other file as it was, where it was, and nothing new anywhere but
  the plug-in's log ("Brantlow.log", in its own folder or where it stands
  when that folder is missing) and the recording sets the firmware made
  during the run; every folder still there, no new one but the plug-in's own
  folder and Save;
- no set younger than the keep time gone; every set older than it gone by the
  end (expiry still works after the cut), unless the scenario says Save
  cannot be entered; after the delete-all "Yes" of a run without a cut,
  nothing left in Save;
- the buffer of the last timeshift period saved into Save (the plug-in saves
  after the cut);
- no temporary name ("FilerDelete*.tmp" that was not there before) and no
  intent record ("Brantlow.intent") left.

A run without a cut is checked the same way. A scenario's first lines may
say "# crash: delete-all" (the delete-all question is answered "Yes": sets in
Save may go whatever their age, and must in the run without a cut) or
"# crash: save-blocked" (Save cannot be entered: nothing there expires).

Prints a table (scenario, build, cut points K, runs, sets, losses) and the run
time; exit status 0 when nothing was lost.
"""

import argparse
import concurrent.futures
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

TS = "DataFiles/TimeShift"
SAVE = "DataFiles/TimeShift/Save"
OWN = "ProgramFiles/Settings/Brantlow"
DEFAULT_CLOCK = datetime.datetime(2026, 12, 8, 20, 0, 0)


def parse_time(text):
    h, m, s = text.split(":")
    return int(h) * 3600 + int(m) * 60 + int(s)


def time_text(seconds):
    return "%d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)


class Scenario:
    """What the checker needs of a scenario: its power-on lines, its end,
    its clock, its keep time and its crash notes."""

    def __init__(self, path):
        self.path = path
        self.name = os.path.splitext(os.path.basename(path))[0]
        self.lines = open(path, encoding="latin-1").read().splitlines()
        self.clock = DEFAULT_CLOCK
        self.keep = 36
        self.notes = set()
        self.end = 0
        self.power_on = []
        timed = False
        for line in self.lines:
            words = line.split()
            if line.startswith("# crash:"):
                self.notes.update(line[len("# crash:"):].split())
            if not words or words[0].startswith("#"):
                if not timed:
                    self.power_on.append(line)
                continue
            if words[0] in ("at", "run", "expect"):
                timed = True
            if words[0] == "at" or words[0] == "run":
                self.end = max(self.end, parse_time(words[1]))
            if not timed:
                self.power_on.append(line)
                if words[0] == "clock" and len(words) >= 3:
                    self.clock = datetime.datetime.strptime(words[1] + " " + words[2],
                                                            "%Y-%m-%d %H:%M:%S")
            m = re.search(r"KeepBufferHours=(\d+)", line)
            if m and words[0] == "write" and not timed:
                self.keep = int(m.group(1))

    def power_on_only(self):
        """The receiver at power-on: the plug-in starts and gets no event."""
        return "\n".join(self.power_on + ["idle 0", "run 0:00:00"]) + "\n"

    def extended(self):
        """The scenario and one more timeshift period after its end, whose
        buffer the plug-in must save."""
        start = self.end + 300
        self.last_start = start
        self.final = start + 120
        extra = ["", "# one more timeshift period: the plug-in still saves and expires",
                 "at %s timeshift start" % time_text(start),
                 "at %s timeshift stop" % time_text(start + 60),
                 "run %s" % time_text(self.final)]
        # The firmware starts a buffer with the receiver after every cut: a
        # name the plug-in vacated is taken at once.
        return "\n".join(["boot timeshift"] + self.lines + extra) + "\n"


def snapshot(root):
    """Every file (path -> bytes) and folder (set of paths) below root."""
    files, folders = {}, set()
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for d in dirnames:
            folders.add(os.path.normpath(os.path.join(rel, d)))
        for f in filenames:
            path = os.path.normpath(os.path.join(rel, f))
            if path == ".tapsim-disk":
                continue
            with open(os.path.join(dirpath, f), "rb") as fh:
                files[path] = fh.read()
    return files, folders


def set_key(path, data):
    """The text by which a companion names its set ("PATH SECONDS", as far
    as the .nav's 64 bytes hold it), or None."""
    if path.endswith(".nav") and len(data) == 64 and data[:1] == b"/":
        return data.rstrip(b"\0")[:64]
    if path.endswith(".inf") and len(data) == 128 and data[28:29] == b"/":
        return data[28:].rstrip(b"\0")[:64]
    return None


def sets_of(files, problems=None):
    """key -> {part: path} of every recording set's files (part "stream",
    ".inf" or ".nav"); a file found twice is a copy."""
    keys = {}
    for path, data in files.items():
        key = set_key(path, data)
        if key:
            keys.setdefault(key, []).append((path[-4:], path))
    for path, data in files.items():
        if data[:1] == b"\x47" and data[1:2] == b"/":
            for key in keys:
                if data[1:1 + len(key)] == key:
                    keys[key].append(("stream", path))
                    break
    sets = {}
    for key, members in sorted(keys.items()):
        parts = sets.setdefault(key, {})
        for part, path in sorted(members):
            if part in parts and problems is not None:
                problems.append("copied: %s and %s" % (parts[part], path))
            parts[part] = path
    return sets


def start_of(inf_bytes):
    """The start time in an .inf: packed MJD, hour, minute at bytes 8 to 11."""
    packed = int.from_bytes(inf_bytes[8:12], "little")
    mjd, hour, minute = packed >> 16, (packed >> 8) & 0xFF, packed & 0xFF
    return datetime.datetime(1858, 11, 17) + datetime.timedelta(days=mjd, hours=hour,
                                                                minutes=minute)


def folder_of(path):
    return os.path.dirname(path)


def check(sc, before, after, end_time, cut):
    """The problems of one run's disk (cut 0: a run without a cut), as
    texts."""
    files0, folders0 = before
    files1, folders1 = after
    problems = []
    sets0, sets1 = sets_of(files0), sets_of(files1, problems)
    members = set()
    for parts in list(sets0.values()) + list(sets1.values()):
        members.update(parts.values())

    for mark, parts in sets1.items():
        stream = parts.get("stream")
        label = stream or sorted(parts.values())[0]
        if stream is None or parts.get(".inf") != stream + ".inf" or \
                parts.get(".nav") != stream + ".nav":
            problems.append("set broken: %s" % sorted(parts.values()))
            continue
        if mark in sets0:
            old = sets0[mark]
            for part, path in parts.items():
                if files1[path] != files0[old[part]]:
                    problems.append("content changed: " + path)
            was = folder_of(old["stream"])
            now = folder_of(stream)
            if was in (TS, SAVE):
                if now not in (TS, SAVE):
                    problems.append("astray: " + stream)
            elif stream != old["stream"]:
                problems.append("moved: " + label)
        elif folder_of(stream) not in (TS, SAVE, "DataFiles"):
            problems.append("new set astray: " + stream)

    for mark, parts in sets0.items():
        stream = parts.get("stream")
        if stream is None or len(parts) != 3:
            continue  # the corpus lays out whole sets only
        start = start_of(files0[parts[".inf"]])
        age = (end_time - start).total_seconds() / 3600
        in_save = folder_of(stream) in (TS, SAVE)
        # What expiry deletes: recordings in Save, and what the save pass
        # takes from the timeshift folder (".ts" buffers too).
        kinds = (".rec", ".mpg", ".ts") if folder_of(stream) == TS else (".rec", ".mpg")
        old = in_save and age >= sc.keep and stream.lower().endswith(kinds)
        if mark not in sets1:
            if not in_save:
                problems.append("lost: " + stream)
            elif not old and not ("delete-all" in sc.notes and folder_of(stream) == SAVE):
                problems.append("lost while young (%.1f h, keep %d): %s" % (age, sc.keep, stream))
        elif old and "save-blocked" not in sc.notes:
            problems.append("not expired (%.1f h, keep %d): %s" % (age, sc.keep, stream))
        elif cut == 0 and "delete-all" in sc.notes and folder_of(stream) == SAVE:
            problems.append("not deleted by the delete-all answer: " + stream)

    # The last period's buffer: its .inf names the start of that period.
    last = sc.clock + datetime.timedelta(seconds=sc.last_start)
    saved = [p for m, p in sets1.items() if m not in sets0 and
             folder_of(p.get("stream", "")) == (TS if "save-blocked" in sc.notes else SAVE) and
             ".inf" in p and abs((start_of(files1[p[".inf"]]) - last).total_seconds()) < 120]
    if not saved:
        problems.append("the last period's buffer was not saved")

    for path, data in files0.items():
        if path in members or os.path.basename(path) == "Brantlow.log":
            continue
        if files1.get(path) != data:
            problems.append("changed or gone: " + path)
    for path in files1:
        if path in files0 or path in members:
            continue
        name = os.path.basename(path)
        # The plug-in's log lands where it stands when its own folder is
        # missing or cannot be entered.
        if name == "Brantlow.log":
            continue
        problems.append("left behind: " + path if name.startswith("FilerDelete") or
                        name == "Brantlow.intent" else "unknown file: " + path)
    for folder in folders0:
        if folder not in folders1:
            problems.append("folder gone: " + folder)
    for folder in folders1 - folders0:
        if folder not in (OWN, SAVE):
            problems.append("new folder: " + folder)
    return problems, len(sets0) + len([m for m in sets1 if m not in sets0])


def tapsim(args, cmd_tail, disk, quiet=True):
    cmd = args.emulator + [args.tapsim] + (["--quiet"] if quiet else []) + ["--disk", disk] + cmd_tail
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)


def changes_of(output):
    m = re.search(rb"plug-in disk changes: (\d+)", output)
    return int(m.group(1)) if m else None


def one_run(args, plugin, sc, scenario_file, work, before, cut, half):
    disk = os.path.join(work, "cut-%d%s" % (cut, "h" if half else ""))
    tail = (["--power-cut", str(cut)] if cut else []) + (["--half"] if half else []) + \
        [plugin, scenario_file]
    # The time line names the call the cut followed: a write gets a second
    # run, cut half way through it.
    result = tapsim(args, tail, disk, quiet=half)
    problems = []
    if result.returncode not in (0, 1) or changes_of(result.stdout) is None:
        problems.append("tapsim failed (%d): %s" % (result.returncode,
                                                    result.stdout[-400:].decode("latin-1")))
        sets = 0
    else:
        end = sc.clock + datetime.timedelta(seconds=sc.final)
        problems, sets = check(sc, before, snapshot(disk), end, cut)
    after = result.stdout.split(b"cut after plug-in disk change", 1)
    is_write = len(after) == 2 and b"TAP_Hdd_Fwrite" in after[1][:40]
    shutil.rmtree(disk, ignore_errors=True)
    return problems, sets, is_write


def run_scenario(args, plugin, sc, work, pool):
    os.makedirs(work, exist_ok=True)
    onlypower = os.path.join(work, "power-on.scn")
    with open(onlypower, "w", encoding="latin-1") as f:
        f.write(sc.power_on_only())
    extended = os.path.join(work, "extended.scn")
    with open(extended, "w", encoding="latin-1") as f:
        f.write(sc.extended())
    first = os.path.join(work, "power-on")
    tapsim(args, [plugin, onlypower], first)
    before = snapshot(first)
    shutil.rmtree(first, ignore_errors=True)
    # K: the changes of the scenario itself; the extra period's are not cut.
    counted = tapsim(args, [plugin, sc.path], os.path.join(work, "count"))
    shutil.rmtree(os.path.join(work, "count"), ignore_errors=True)
    k = changes_of(counted.stdout)
    if k is None:
        return k, 0, 0, 1, ["counting run failed: " + counted.stdout[-400:].decode("latin-1")]
    # Cut 0: the run without a cut, which must do all the work.
    cuts = [0] + list(range(1, k + 1, args.every))
    futures = {pool.submit(one_run, args, plugin, sc, extended, work, before, c, False): c
               for c in cuts}
    runs, sets, losses, shown = 0, 0, 0, []
    halves = []
    for fut in concurrent.futures.as_completed(futures):
        problems, n, is_write = fut.result()
        runs += 1
        sets += n
        if problems:
            losses += len(problems)
            shown += ["cut %d: %s" % (futures[fut], p) for p in problems[:3]]
        if is_write and not args.no_half:
            halves.append(pool.submit(one_run, args, plugin, sc, extended, work, before,
                                      futures[fut], True))
    for fut in halves:
        problems, n, _ = fut.result()
        runs += 1
        sets += n
        if problems:
            losses += len(problems)
            shown += ["cut half way: %s" % p for p in problems[:3]]
    shutil.rmtree(work, ignore_errors=True)
    return k, runs, sets, losses, shown


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("tapsim")
    ap.add_argument("plugins", nargs="+")
    ap.add_argument("--corpus", nargs="+", required=True, help="scenario files")
    ap.add_argument("--work", default=None, help="scratch folder (default: a new one in /tmp)")
    ap.add_argument("--jobs", "-j", type=int, default=2)
    ap.add_argument("--every", type=int, default=1, help="cut after every Nth change only")
    ap.add_argument("--no-half", action="store_true", help="no cuts half way through writes")
    ap.add_argument("--stop", action="store_true", help="stop at the first scenario with a loss")
    ap.add_argument("--emulator", default="", help="'|'-separated command that runs tapsim")
    args = ap.parse_args()
    args.emulator = [w for w in args.emulator.split("|") if w]
    work = args.work or tempfile.mkdtemp(prefix="brantlow-crash-")
    began = time.time()
    total_losses = 0
    rows = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for plugin in args.plugins:
            build = "plain" if "plain" in os.path.basename(plugin) else "diagnostic"
            for path in args.corpus:
                sc = Scenario(path)
                k, runs, sets, losses, shown = run_scenario(
                    args, plugin, sc, os.path.join(work, build + "-" + sc.name), pool)
                rows.append((sc.name, build, k, runs, sets, losses))
                total_losses += losses
                for line in shown[:12]:
                    print("  %s %s: %s" % (sc.name, build, line))
                if losses and args.stop:
                    break
            if total_losses and args.stop:
                break
    shutil.rmtree(work, ignore_errors=True)
    print("%-28s %-10s %8s %6s %7s %7s" % ("scenario", "build", "cuts K", "runs", "sets",
                                           "losses"))
    for row in rows:
        print("%-28s %-10s %8s %6d %7d %7d" % row)
    print("crash test: %d runs, %d losses, %.0f s" %
          (sum(r[3] for r in rows), total_losses, time.time() - began))
    return 0 if total_losses == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
