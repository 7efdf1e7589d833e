#!/usr/bin/env python3
"""Runs the tapsim commands that the README and the guides quote, as written.

Usage: check_doc_commands.py SOURCE_DIR BUILD_DIR

Every line of a ```sh block in README.md and docs/*.md that starts with
build/host/sim/tapsim (with its backslash continuations) is run from the source
folder, build/host standing for BUILD_DIR; each must exit with status 0 (1
for the scenario that fails on purpose, tests/report_failing.scn).
Folders under /tmp go to a scratch folder of the run, removed at its end, and
~/receiver-copy (the user guide's copy of a receiver's disk) is a made-up
copy in it: a Save folder with a recording saved two days before the
scenarios' clock, and an owner's settings file.

Every relative link of those pages leads to a file of the source, and every
link to a #heading (of the same page or another) to a heading that exists.
"""
import glob
import os
import re
import shutil
import shlex
import subprocess
import sys
import tempfile


def quoted_commands(path):
    commands, in_block, in_sh, pending = [], False, False, ""
    for line in open(path, encoding="utf-8"):
        stripped = line.strip()
        if stripped.startswith("```"):
            in_block = not in_block
            in_sh = in_block and stripped in ("```sh", "```")
            pending = ""
            continue
        if not in_sh:
            continue
        text = pending + stripped.split("  #")[0].rstrip()
        if text.endswith("\\"):
            pending = text[:-1] + " "
            continue
        pending = ""
        if text.startswith("build/host/sim/tapsim"):
            commands.append(text)
    return commands


def anchor(heading):
    text = re.sub(r"[`*]", "", heading.strip().lower())
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def broken_links(source, docs):
    broken = []
    anchors = {}
    for doc in docs:
        text = open(doc, encoding="utf-8").read()
        anchors[os.path.abspath(doc)] = {anchor(h) for h in re.findall(r"^#+ (.*)$", text, re.M)}
    for doc in docs:
        text = re.sub(r"```.*?```", "", open(doc, encoding="utf-8").read(), flags=re.S)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, fragment = target.partition("#")
            full = os.path.abspath(os.path.join(os.path.dirname(doc), path)) if path else \
                os.path.abspath(doc)
            where = os.path.relpath(doc, source)
            if not os.path.exists(full):
                broken.append("%s: the link %s leads to no file" % (where, target))
            elif fragment and full in anchors and fragment not in anchors[full]:
                broken.append("%s: the link %s leads to no heading" % (where, target))
    return broken


def receiver_copy(scratch):
    """A copy of a receiver's disk, as an owner would make one."""
    top = os.path.join(scratch, "receiver-copy")
    save = os.path.join(top, "DataFiles", "TimeShift", "Save")
    settings = os.path.join(top, "ProgramFiles", "Settings", "Brantlow")
    os.makedirs(save)
    os.makedirs(settings)
    # Started 6 December 2026, 18:00: two days before the scenarios' clock. The
    # .inf holds the start as the receiver writes it: at bytes 8-11, the
    # Modified Julian Date, hour and minute, little-endian.
    start = 1796580000
    days, rest = divmod(start, 86400)
    packed = (days + 40587) << 16 | (rest // 3600) << 8 | rest % 3600 // 60
    inf = bytearray(128)
    inf[8:12] = packed.to_bytes(4, "little")
    for ext, data in (("", b"\x47" * 188), (".inf", bytes(inf)), (".nav", bytes(64))):
        with open(os.path.join(save, "Old Film.rec" + ext), "wb") as f:
            f.write(data)
        os.utime(os.path.join(save, "Old Film.rec" + ext), (start, start))
    with open(os.path.join(settings, "Brantlow.ini"), "wb") as f:
        f.write(b"KeepBufferHours=36\r\nRenameMode=1\r\n")
    return top


def main():
    source, build = sys.argv[1], sys.argv[2]
    docs = [os.path.join(source, "README.md")] + sorted(glob.glob(os.path.join(source, "docs", "**", "*.md"), recursive=True))
    scratch = tempfile.mkdtemp(prefix="brantlow-docs-")
    try:
        return run_all(source, build, docs, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def run_all(source, build, docs, scratch):
    failures, ran = [], 0
    copy = receiver_copy(scratch)
    for doc in docs:
        for command in quoted_commands(doc):
            # Folders the docs put under /tmp go to a scratch folder of this run.
            args = []
            for a in shlex.split(command):
                if a.startswith("/tmp/"):
                    a = scratch + a[len("/tmp"):]
                elif a == "~/receiver-copy":
                    a = copy
                elif a.startswith("build/host"):
                    a = build + a[len("build/host"):]
                args.append(a)
            result = subprocess.run(args, cwd=source, capture_output=True, text=True)
            ran += 1
            # The scenario of the tests that fails on purpose exits with 1.
            expected = 1 if "tests/report_failing.scn" in command else 0
            if result.returncode != expected:
                failures.append("%s: `%s` exited with %d:\n%s%s" % (
                    os.path.relpath(doc, source), command, result.returncode,
                    result.stdout[-2000:], result.stderr[-2000:]))
            elif "~/receiver-copy" in command and "Old Film.rec deleted" not in result.stdout:
                # The owner's recipe gives the right answer: the recording two
                # days old expires (keep time 36 hours) in its timeshift period.
                failures.append("%s: `%s` did not expire the copy's recording two days old:\n%s"
                                % (os.path.relpath(doc, source), command, result.stdout[-3000:]))
    links = broken_links(source, docs)
    failures += links
    for f in failures:
        print("FAIL:", f)
    print("%d commands passed, %d failed; %d broken links" % (ran - len(failures) + len(links),
                                                           len(failures) - len(links), len(links)))
    return 1 if failures or ran == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
