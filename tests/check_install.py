#!/usr/bin/env python3
"""Installs the receiver build into an empty folder and checks the layout of
the receiver's disk that an owner gets.

Usage: check_install.py CMAKE BUILD_DIR SOURCE_DIR PLAIN.tap DIAGNOSTIC.tap
"""
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile


def main():
    cmake, build, source, plain, diagnostic = sys.argv[1:6]
    top = tempfile.mkdtemp(prefix="brantlow-install-")
    try:
        return check(cmake, build, source, plain, diagnostic, top)
    finally:
        shutil.rmtree(top, ignore_errors=True)


def check(cmake, build, source, plain, diagnostic, top):
    proc = subprocess.run([cmake, "--install", build, "--prefix", top],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        print("cmake --install failed:\n%s%s" % (proc.stdout, proc.stderr))
        return 1

    # Each installed file and what it must be, byte for byte.
    expected = {
        "ProgramFiles/Brantlow.tap": plain,
        "ProgramFiles/Settings/Brantlow/Brantlow.ini": os.path.join(source, "docs", "Brantlow.ini"),
        "Brantlow-diagnostic.tap": diagnostic,
        "user-guide.md": os.path.join(source, "docs", "user-guide.md"),
    }
    for png in glob.glob(os.path.join(source, "docs", "screens", "*.png")):
        if os.path.basename(png) == "report.png":  # the simulator's page, not the owner's
            continue
        expected["screens/" + os.path.basename(png)] = png

    found = set()
    for folder, _, files in os.walk(top):
        for name in files:
            found.add(os.path.relpath(os.path.join(folder, name), top))
    failures = []
    missing = sorted((set(expected) | {"SHA256SUMS"}) - found)
    extra = sorted(found - set(expected) - {"SHA256SUMS"})
    if missing:
        failures.append("missing: %s" % ", ".join(missing))
    if extra:
        failures.append("not expected: %s" % ", ".join(extra))
    for rel, origin in sorted(expected.items()):
        path = os.path.join(top, rel)
        if os.path.exists(path) and open(path, "rb").read() != open(origin, "rb").read():
            failures.append("%s is not a copy of %s" % (rel, origin))

    # The checksum file: every other file once, with its SHA-256.
    sums = {}
    if os.path.exists(os.path.join(top, "SHA256SUMS")):
        for line in open(os.path.join(top, "SHA256SUMS")):
            digest, _, rel = line.rstrip("\n").partition("  ")
            if rel in sums:
                failures.append("SHA256SUMS lists %s twice" % rel)
            sums[rel] = digest
    if set(sums) != set(expected):
        failures.append("SHA256SUMS lists %s, expected %s" % (sorted(sums), sorted(expected)))
    for rel, digest in sums.items():
        path = os.path.join(top, rel)
        if os.path.exists(path) and hashlib.sha256(open(path, "rb").read()).hexdigest() != digest:
            failures.append("SHA256SUMS: wrong checksum for %s" % rel)

    for f in failures:
        print("FAIL: %s" % f)
    if failures:
        return 1
    print("installed %d files as the receiver's disk wants them, with their checksums" % len(found))
    return 0


if __name__ == "__main__":
    sys.exit(main())
