#!/usr/bin/env python3
"""Plays one scenario with the host build and with the receiver build and
compares what tapsim reports: the time line of console and log lines, the
final folder listing and the expectation results must be the same on both
machines.

Usage: compare_machines.py SCENARIO WORKDIR HOST_TAPSIM HOST_PLUGIN -- RECEIVER_COMMAND...

RECEIVER_COMMAND is the emulator, the receiver's tapsim and the receiver's
plug-in file (the scenario and --disk are appended). Exit status 77 (a
skipped test for ctest) when the host build has not been built.
"""
import difflib
import os
import shutil
import subprocess
import sys

SKIP = 77


def run(command, disk):
    """Runs tapsim on a fresh disk; command already names the disk."""
    shutil.rmtree(disk, ignore_errors=True)
    proc = subprocess.run(command, capture_output=True, text=True, errors="replace", timeout=300)
    return proc.returncode, proc.stdout, proc.stderr


def normalise(text, disk):
    lines = []
    for line in text.splitlines():
        # The file's path, the machine name and the build id (a hash of the
        # file) are the only lines that may differ.
        if line.startswith(("Plug-in ", "Machine ", "Build id ")):
            continue
        lines.append(line.replace(disk, "<disk>"))
    return lines


def main():
    if "--" not in sys.argv:
        print(__doc__)
        return 2
    sep = sys.argv.index("--")
    scenario, workdir, host_tapsim, host_plugin = sys.argv[1:sep]
    receiver = sys.argv[sep + 1:]
    if len(receiver) < 2:
        print(__doc__)
        return 2
    for path in (host_tapsim, host_plugin):
        if not os.path.exists(path):
            print("no host build to compare with: %s is missing (build the host preset first)" % path)
            return SKIP

    os.makedirs(workdir, exist_ok=True)
    host_disk = os.path.join(workdir, "host")
    receiver_disk = os.path.join(workdir, "receiver")
    # tapsim --disk DIR PLUGIN SCENARIO; the receiver's command is the
    # emulator and its arguments, tapsim and the plug-in.
    host_cmd = [host_tapsim, "--disk", host_disk, host_plugin, scenario]
    receiver_cmd = receiver[:-1] + ["--disk", receiver_disk, receiver[-1], scenario]
    host_status, host_out, host_err = run(host_cmd, host_disk)
    receiver_status, receiver_out, receiver_err = run(receiver_cmd, receiver_disk)

    host_lines = normalise(host_out, host_disk)
    receiver_lines = normalise(receiver_out, receiver_disk)
    ok = True
    if host_status != receiver_status:
        print("exit status: host %d, receiver %d" % (host_status, receiver_status))
        ok = False
    if host_lines != receiver_lines:
        print("tapsim's reports differ (host, then receiver):")
        sys.stdout.writelines(line + "\n" for line in difflib.unified_diff(
            host_lines, receiver_lines, "host", "receiver", lineterm="", n=2))
        ok = False
    if not ok:
        if host_err or receiver_err:
            print("host stderr:\n%s\nreceiver stderr:\n%s" % (host_err, receiver_err))
        return 1
    listing = [l for l in receiver_lines if l.startswith("/DataFiles")]
    print("same report on host and receiver (exit status %d; %s)" %
          (host_status, "; ".join(listing) if listing else "no folder listing"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
