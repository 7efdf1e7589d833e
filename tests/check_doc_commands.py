#!/usr/bin/env python3
"""Runs the tapsim commands that the README and the guides quote, as written.

Usage: check_doc_commands.py SOURCE_DIR BUILD_DIR

Every line of a ```sh block in README.md and docs/*.md that starts with
build/host/sim/tapsim (with its backslash continuations) is run from the source
folder, build/host standing for BUILD_DIR; each must exit with status 0.
"""
import glob
import os
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


def main():
    source, build = sys.argv[1], sys.argv[2]
    docs = [os.path.join(source, "README.md")] + sorted(glob.glob(os.path.join(source, "docs", "**", "*.md"), recursive=True))
    failures, ran = [], 0
    scratch = tempfile.mkdtemp(prefix="brantlow-docs-")
    for doc in docs:
        for command in quoted_commands(doc):
            # Folders the docs put under /tmp go to a scratch folder of this run.
            args = []
            for a in shlex.split(command):
                if a.startswith("/tmp/"):
                    a = scratch + a[len("/tmp"):]
                elif a.startswith("build/host"):
                    a = build + a[len("build/host"):]
                args.append(a)
            result = subprocess.run(args, cwd=source, capture_output=True, text=True)
            ran += 1
            if result.returncode != 0:
                failures.append("%s: `%s` exited with %d:\n%s%s" % (
                    os.path.relpath(doc, source), command, result.returncode,
                    result.stdout[-2000:], result.stderr[-2000:]))
    for f in failures:
        print("FAIL:", f)
    print("%d passed, %d failed" % (ran - len(failures), len(failures)))
    return 1 if failures or ran == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
