#!/usr/bin/env python3
"""The figures the pages quote from a measurement agree with the measurement.

Usage: check_doc_figures.py [--update] SOURCE_DIR BUILD_DIR CTEST [SIZE_TOOL]

- docs/developing.md: the row of the build's preset in the table of test
  counts (all tests, and by label) against `ctest -N` of BUILD_DIR, and the
  labels it names against `ctest --print-labels`.
- docs/performance.md, the Summary: each figure that bench/baseline.json
  holds (own instructions, firmware calls, system calls of a case), per unit,
  rounded as the page writes it.
- docs/performance.md, the footprint of the receiver build (only when
  BUILD_DIR is a receiver build, with SIZE_TOOL, mipsel-linux-gnu-size): the
  sizes of both plug-in files and their text, data and bss, byte for byte,
  in the table, the Summary and the budget's sentence.

A figure that went stale is named with the value measured and how to take it
up. --update rewrites the stale counts of the developing.md table (the other
figures are the pages' authors' to word).
"""
import json
import os
import re
import subprocess
import sys

LABELS = ["unit", "scenario", "build", "compare", "docs", "soak", "crash", "bench"]

# Summary rows of docs/performance.md whose "Measured" cell holds figures of
# bench/baseline.json, in the order the cell writes them.
SUMMARY = [
    ("Plug-in's own instructions per idle step, Idle", [("idle.plain", "own_instructions")]),
    ("The same, timeshifting between samples", [("tsgap.plain", "own_instructions")]),
    ("The same, sampling step, plain (diagnostic, with its trace line)",
     [("tssample.plain", "own_instructions"), ("tssample.diag", "own_instructions")]),
    ("Trace line, own instructions: no terminal, /dev/pts/0, only /dev/pts/19",
     [("trace.none", "own_instructions"), ("trace.pts0", "own_instructions"),
      ("trace.pts19", "own_instructions")]),
    ("Firmware calls per idle step, Idle", [("idle.plain", "firmware_calls")]),
    ("Firmware calls per idle step, timeshifting between samples", [("tsgap.plain", "firmware_calls")]),
    ("Expiry pass, own instructions per recording at 10 and 10,000",
     [("expiry.10", "own_instructions"), ("expiry.10000", "own_instructions")]),
]

stale = []


def report(page, what, said, measured, refresh):
    stale.append("%s: %s: the page says %s, measured %s; %s" % (page, what, said, measured, refresh))


def number(text):
    return float(text.replace(",", ""))


def grouped(value):
    return "{:,}".format(value)


def ctest_count(ctest, build, args):
    out = subprocess.run([ctest, "--test-dir", build, "-N"] + args, capture_output=True,
                         text=True).stdout
    found = re.search(r"Total Tests: (\d+)", out)
    return int(found.group(1)) if found else -1


def preset_of(build):
    cache = open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8").read()
    crossing = re.search(r"^CMAKE_TOOLCHAIN_FILE:\w+=(.+)$", cache, re.M)
    sanitize = re.search(r"^BRANTLOW_SANITIZE:\w+=(.+)$", cache, re.M)
    if sanitize and sanitize.group(1).strip():
        return "asan"
    return "receiver" if crossing and "mipsel" in crossing.group(1) else "host"


def check_counts(source, build, ctest, update):
    page = os.path.join(source, "docs", "developing.md")
    text = open(page, encoding="utf-8").read()
    preset = preset_of(build)
    measured = [ctest_count(ctest, build, [])] + [ctest_count(ctest, build, ["-L", "^%s$" % l])
                                                  for l in LABELS]
    header = "| Preset | All | " + " | ".join(LABELS) + " |"
    if header not in text:
        stale.append("docs/developing.md: the table of test counts (%s) is gone" % header)
        return
    row = re.search(r"^\| %s \|(.*)\|$" % preset, text, re.M)
    new_row = "| %s | %s |" % (preset, " | ".join(str(n) for n in measured))
    refresh = "run `python3 tests/check_doc_figures.py --update %s` and commit the page" % build
    if not row:
        report("docs/developing.md", "the test counts of the %s build" % preset, "nothing",
               new_row, refresh)
        if update:
            end = text.index(header) + len(header)
            end = text.index("\n", text.index("\n", end) + 1)
            text = text[:end] + "\n" + new_row + text[end:]
    else:
        said = [c.strip() for c in row.group(1).split("|")]
        names = ["all tests"] + ["label %s" % l for l in LABELS]
        for name, s, m in zip(names, said, measured):
            if s != str(m):
                report("docs/developing.md", "%s build, %s" % (preset, name), s, m, refresh)
        if update:
            text = text.replace(row.group(0), new_row)
    if update:
        open(page, "w", encoding="utf-8").write(text)

    out = subprocess.run([ctest, "--test-dir", build, "--print-labels"], capture_output=True,
                         text=True).stdout
    labels = set(re.findall(r"^  (\S+)$", out, re.M))
    unknown = sorted(labels - set(LABELS))
    if unknown:
        stale.append("docs/developing.md: ctest knows the labels %s, which the page does not "
                     "describe: add them to its label list and to LABELS in "
                     "tests/check_doc_figures.py" % ", ".join(unknown))
    for label in LABELS:
        if "`%s`" % label not in text:
            stale.append("docs/developing.md does not describe the label `%s`" % label)


def summary_cell(text, name):
    row = re.search(r"^\| %s \| ([^|]*) \|" % re.escape(name), text, re.M)
    return row.group(1) if row else None


def check_baseline(source):
    page = "docs/performance.md"
    text = open(os.path.join(source, page), encoding="utf-8").read()
    baseline = json.load(open(os.path.join(source, "bench", "baseline.json")))["cases"]
    refresh = ("take the figure up from bench/baseline.json (made by scripts/bench.sh "
               "--update-baseline) into the page")
    for name, keys in SUMMARY:
        cell = summary_cell(text, name)
        if cell is None:
            stale.append("%s: the Summary row %r is gone: name its new row in SUMMARY of "
                         "tests/check_doc_figures.py" % (page, name))
            continue
        # The figures of the cell before any bracket ("were ..."), as written.
        said = re.findall(r"\d[\d,]*(?:\.\d+)?", re.sub(r"\(were[^)]*\)", "", cell))
        for (case, key), s in zip(keys, said):
            # The baseline holds the whole stretch; the page writes one unit.
            value = baseline[case][key] / baseline[case].get("units", 1)
            decimals = len(s.split(".")[1]) if "." in s else 0
            want = int(value + 0.5) if decimals == 0 else round(value, decimals)
            if number(s) != want:
                report(page, "Summary, %s (%s %s)" % (name, case, key), s,
                       grouped(want) if decimals == 0 else want, refresh)
        if len(said) < len(keys):
            stale.append("%s: the Summary row %r names %d figures, expected %d"
                         % (page, name, len(said), len(keys)))


def check_footprint(source, build, size_tool):
    page = "docs/performance.md"
    text = open(os.path.join(source, page), encoding="utf-8").read()
    refresh = ("measure with `%s` and `stat -c %%s` on the files of a receiver build and write "
               "the figures into the page" % os.path.basename(size_tool))
    figures = {}
    for name in ("brantlow-plain.tap", "brantlow.tap"):
        path = os.path.join(build, name)
        out = subprocess.run([size_tool, path], capture_output=True, text=True).stdout
        text_, data, bss = [int(v) for v in out.splitlines()[1].split()[:3]]
        figures[name] = (os.path.getsize(path), text_, data, bss)
        row = re.search(r"^\| `%s` \| ([\d,]+) \| ([\d,]+) \| ([\d,]+) \| ([\d,]+) \|"
                        % re.escape(name), text, re.M)
        if not row:
            stale.append("%s: the footprint table has no row for `%s`" % (page, name))
            continue
        for what, s, m in zip(("file size", "text", "data", "bss"), row.groups(), figures[name]):
            if number(s) != m:
                report(page, "footprint, %s, %s" % (name, what), s, grouped(m), refresh)
    size, _, data, bss = figures["brantlow-plain.tap"]
    cell = summary_cell(text, "Receiver build, plain `.tap` file size")
    if cell is None or not cell.startswith(grouped(size) + " bytes"):
        report(page, "Summary, plain file size", cell, grouped(size) + " bytes", refresh)
    cell = summary_cell(text, "Receiver build, plain static data (data + bss)")
    if cell is None or not cell.startswith(grouped(data + bss) + " bytes"):
        report(page, "Summary, plain static data", cell, grouped(data + bss) + " bytes", refresh)
    sentence = "data %s + bss %s = %s bytes" % (grouped(data), grouped(bss), grouped(data + bss))
    if sentence not in text:
        found = re.search(r"data [\d,]+ \+ bss [\d,]+ = [\d,]+ bytes", text)
        report(page, "the budget's sentence on static data", found.group(0) if found else None,
               sentence, refresh)


def main():
    args = sys.argv[1:]
    update = "--update" in args
    args = [a for a in args if a != "--update"]
    if update and len(args) == 1:  # --update BUILD_DIR, from the source folder
        source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        args = [source, args[0], "ctest"]
    source, build, ctest = args[:3]
    size_tool = args[3] if len(args) > 3 else None
    check_counts(source, build, ctest, update)
    if preset_of(build) == "host":
        check_baseline(source)
    if size_tool:
        check_footprint(source, build, size_tool)
    for s in stale:
        print("STALE: " + s)
    if update:
        print("updated the counts of docs/developing.md; %d other figures to take up by hand"
              % sum(1 for s in stale if "developing.md" not in s))
        return 0
    print("docs figures: %s" % ("%d stale" % len(stale) if stale else
                                 "every figure agrees with its measurement"))
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
