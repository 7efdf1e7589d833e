#!/usr/bin/env python3
"""The HTML report of a run: self-contained, escaped, and drawn by a browser.

Usage: check_html_report.py TAPSIM PLUGIN PLAIN_PLUGIN SCENARIO WORK_DIR

Plays the scenario with --report with both builds (the plain build writes no
trace lines: its saves and expiries are read off the disk all the same, at
the same times), then a second, made-up scenario whose
programme and channel names are HTML, and reads both pages: nothing is
loaded from elsewhere, every screen is an inline PNG, the saved names and
the expectations are there, outside texts are escaped. Then headless
Chromium renders the first page to WORK_DIR/report.png, which must be a
picture with something on it. Without Chromium that part is skipped (exit
77 after the page checks passed).
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

HTML_NAMES = """\
clock 2026-12-08 19:55:00
sysvar 17 1
sysvar 18 1
dir /DataFiles/TimeShift/Save
channel 1 1 "<b>Chan</b>"
event 1 1 "<script>x()</script> & \\"Co\\"" ""
tune 1 1
at 0:01:00 timeshift start "TS.rec"
at 0:30:00 timeshift stop
run 0:31:00
expect nofile "/DataFiles/TimeShift/TS.rec"
"""


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def run_report(tapsim, plugin, scenario, work, name):
    page = os.path.join(work, name + ".html")
    disk = os.path.join(work, name + "-disk")
    shutil.rmtree(disk, ignore_errors=True)
    result = subprocess.run([tapsim, "--quiet", "--disk", disk, "--report", page, plugin, scenario],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        fail("tapsim %s exited %d:\n%s" % (scenario, result.returncode, result.stdout))
    return open(page, encoding="utf-8").read()


def self_contained(page, name):
    for pattern in (r"<link\b", r"<script\b", r"\bsrc=\"(?!data:image/png;base64,)",
                    r"url\(", r"@import", r"https?://"):
        if re.search(pattern, page):
            fail("%s: the page refers to something outside it (%s)" % (name, pattern))


def png_size_and_colours(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        fail(path + " is not a PNG file")
    width, height = struct.unpack(">II", data[16:24])
    idat, pos = b"", 8
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    # Distinct bytes of the filtered rows: a blank page has a handful.
    return width, height, len(set(zlib.decompress(idat)))


def main():
    tapsim, plugin, plain, scenario, work = sys.argv[1:6]
    os.makedirs(work, exist_ok=True)

    page = run_report(tapsim, plugin, scenario, work, "report")
    self_contained(page, scenario)
    screens = page.count('src="data:image/png;base64,')
    if screens < 1:
        fail("no screen inline")
    for text in ("Saved as", "Timeshift periods", "Folders at the end", "Expectations",
                 "passed, 0 failed", "The evening at a glance"):
        if text not in page:
            fail("the page lacks %r" % text)
    saved = re.findall(r"Saved as <b class=\"mono\">([^<]*)</b>", page)
    print("saved as:", saved, "- screens inline:", screens)

    def disk_rows(text):
        return re.findall(r'<td class="t">([0-9:.]+)</td><td><span class="kind k-(save|rename|'
                          r'expiry|removed)">[a-z]+</span></td><td><span class="mono">([^<]*)',
                          text)
    rows = disk_rows(page)
    if not any(kind == "expiry" for _, kind, _ in rows):
        fail("no expiry in the report")
    plain_rows = disk_rows(run_report(tapsim, plain, scenario, work, "plain"))
    if plain_rows != rows:
        fail("the plain build's saves and expiries differ:\n%s\n%s" % (rows, plain_rows))

    made_up = os.path.join(work, "html_names.scn")
    with open(made_up, "w", encoding="utf-8") as f:
        f.write(HTML_NAMES)
    escaped = run_report(tapsim, plugin, made_up, work, "escaped")
    self_contained(escaped, made_up)
    if "<b>Chan</b>" in escaped or "<script>x()" in escaped:
        fail("a channel or programme name reached the page unescaped")
    if "&lt;script&gt;x()&lt;/script&gt; &amp; &quot;Co&quot;" not in escaped:
        fail("the programme's name is not shown escaped")

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("SKIP: no chromium here (Debian package chromium)")
        sys.exit(77)
    shot = os.path.join(work, "report.png")
    if os.path.exists(shot):
        os.remove(shot)
    profile = tempfile.mkdtemp(prefix="tapsim-chromium-")
    try:
        subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                        "--no-first-run", "--disable-background-networking",
                        "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                        "--user-data-dir=" + profile, "--window-size=1280,2600",
                        "--screenshot=" + shot, "file://" + os.path.abspath(
                            os.path.join(work, "report.html"))],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120,
                       check=False)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    if not os.path.exists(shot):
        fail("chromium wrote no screenshot")
    width, height, colours = png_size_and_colours(shot)
    print("chromium drew %s: %dx%d, %d distinct byte values" % (shot, width, height, colours))
    if (width, height) != (1280, 2600) or colours < 64:
        fail("the screenshot is blank or of the wrong size")


if __name__ == "__main__":
    main()
