#!/usr/bin/env python3
"""The HTML report and the JUnit file of a run, read as a person and a CI
server read them.

Usage: check_html_report.py TAPSIM PLUGIN PLAIN_PLUGIN SCENARIO FAILING_SCENARIO
                            CRASHING_PLUGIN JUNIT_XSD WORK_DIR

- The demo evening with both builds: a self-contained page (nothing loaded
  from elsewhere, screens as inline PNG), the saved names and the
  expectations, the same saves and expiries with the plain build (which
  writes no trace lines); outside texts escaped (a made-up scenario whose
  names are HTML); the whole time line folded as the terminal folds it; the
  event that opened a window listed before the window.
- A scenario that fails on purpose: "What failed" at the top, each failure
  with what was there instead and a link to its line in the time line; the
  Plug-in block names the build and its build id; the mode machine's lane;
  the fault marked where it hit, not where it was set up; the power lane with
  the cut, the dark and the start after it.
  Its JUnit file: valid against the schema (which refuses a broken copy), one
  test case per expectation, the failures with their text.
- Power cuts inside a step: what the step did to the folders before the
  power went is listed before the cut (scenarios/power_cut_in_a_move.scn);
  the buffer the firmware starts with the receiver is a timeshift period of
  its own, and the power lane holds one cut and one start
  (scenarios/power_cut_in_a_rename.scn).
- A --disk-from run says so; a report or JUnit path that cannot be written
  stops tapsim before the run; a plug-in that crashes still leaves the page
  and a JUnit file (the crash an error, the expectations after it skipped).
- No run leaves the report's own screen folder behind (under $TMPDIR), also
  not the crash.
- Headless Chromium draws the pages at 800 and 1280 pixels: in every lane the
  markers stand in time order from left to right, none covers another, and a
  failed expectation's marker is the one on top where it stands. The failing
  scenario's pages are kept as WORK_DIR/report-failing-800.png and
  -1280.png (docs/screens has copies). Without Chromium or xmllint those
  parts are skipped (exit 77 after the rest passed).
"""
import html
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
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

CRASH = """\
run 0:00:02
expect running
at 0:00:05 key ok
run 0:00:10
expect running
"""

DISK_FROM = """\
clock 2026-12-08 20:00:00
sysvar 17 4
sysvar 18 1
at 0:01:00 timeshift start "TS.rec"
at 0:05:00 timeshift stop
run 0:06:00
expect nofile "/DataFiles/TimeShift/Save/Old.rec"
"""

# Measures the drawn page: every marker of every lane, and whether a failed
# expectation's marker is the element on top at its centre.
LAYOUT_SCRIPT = """<script>
(function () {
  var lanes = [];
  document.querySelectorAll('.lane').forEach(function (lane) {
    var marks = [];
    lane.querySelectorAll('.mark').forEach(function (m) {
      m.scrollIntoView({block: 'center', inline: 'nearest'});
      var r = m.getBoundingClientRect();
      var x = r.left + r.width / 2, y = r.top + r.height / 2;
      var top = document.elementFromPoint(x, y);
      marks.push({t: +m.getAttribute('data-t'), left: r.left, right: r.right,
                  top: r.top + window.scrollY, bottom: r.bottom + window.scrollY, cls: m.className,
                  onTop: !!top && (top === m || m.contains(top))});
    });
    lanes.push({name: lane.querySelector('.name').textContent, marks: marks});
  });
  var failed = document.getElementById('failed'), sections = document.querySelectorAll('section');
  var out = {width: document.documentElement.clientWidth, lanes: lanes,
             firstSection: sections.length ? (sections[0].id || sections[0].querySelector('h2').textContent) : ''};
  var pre = document.createElement('pre');
  pre.id = 'layout-check';
  pre.textContent = JSON.stringify(out);
  document.body.appendChild(pre);
})();
</script>"""

problems = []


def fail(message):
    problems.append(message)
    print("FAIL: " + message)


def stop():
    print("%d problems" % len(problems))
    sys.exit(1)


# The report's own screen folders go under TMPDIR: a folder of this check's.
TMP = None


def run(args, expect_status):
    env = dict(os.environ, TMPDIR=TMP) if TMP else None
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=env)
    if result.returncode != expect_status:
        fail("%s exited %d, expected %d:\n%s%s" % (" ".join(args), result.returncode,
                                                   expect_status, result.stdout[-3000:],
                                                   result.stderr[-3000:]))
    return result


def run_report(tapsim, plugin, scenario, work, name, status=0, extra=()):
    page = os.path.join(work, name + ".html")
    junit = os.path.join(work, name + ".xml")
    disk = os.path.join(work, name + "-disk")
    shutil.rmtree(disk, ignore_errors=True)
    result = run([tapsim, "--disk", disk, "--report", page, "--junit", junit] + list(extra)
                 + [plugin, scenario], status)
    text = open(page, encoding="utf-8").read() if os.path.exists(page) else ""
    left = [n for n in os.listdir(TMP) if n.startswith("tapsim-screens-")] if TMP else []
    if left:
        fail("the run of %s left the report's screen folder %s" % (scenario, left))
        for n in left:
            shutil.rmtree(os.path.join(TMP, n), ignore_errors=True)
    return text, result, junit


def self_contained(page, name):
    for pattern in (r"<link\b", r"<script\b", r"\bsrc=\"(?!data:image/png;base64,)",
                    r"url\(", r"@import", r"https?://"):
        if re.search(pattern, page):
            fail("%s: the page refers to something outside it (%s)" % (name, pattern))


def time_line(page):
    """The lines of the page's whole time line, without the fold markers."""
    pre = re.search(r'<section id="time-line">.*?<pre>(.*?)</pre>', page, re.S)
    if not pre:
        return []
    return [html.unescape(re.sub(r"<[^>]+>", "", l)) for l in pre.group(1).split("\n")
            if l.startswith("<span id=\"tl-")]


def terminal_lines(stdout):
    return [l for l in stdout.splitlines() if re.match(r"^ *\d+:\d\d:\d\d\.\d\d  ", l)]


def check_demo(tapsim, plugin, plain, scenario, work):
    page, result, _ = run_report(tapsim, plugin, scenario, work, "report")
    self_contained(page, scenario)
    screens = page.count('src="data:image/png;base64,')
    if screens < 1:
        fail("no screen inline")
    for text in ("Saved as", "Timeshift periods", "Folders at the end", "Expectations",
                 "passed, 0 failed", "The evening at a glance", ">Mode<", ">Timeshifting<"):
        if text not in page:
            fail("the demo page lacks %r" % text)
    if 'id="failed"' in page:
        fail("the demo page, which passed, shows a 'What failed' section")
    saved = re.findall(r"Saved as <b class=\"mono\">([^<]*)</b>", page)
    print("saved as:", saved, "- screens inline:", screens)

    # Folded as the terminal folds it: as many lines, but for the screens the
    # page keeps and the terminal leaves out.
    shown = [l for l in time_line(page) if "  screen   " not in l]
    terminal = terminal_lines(result.stdout)
    total = int(re.search(r"The whole time line \((\d+) lines", page).group(1))
    print("time line: %d lines, %d shown on the page, %d in the terminal"
          % (total, len(shown), len(terminal)))
    if sorted(shown) != sorted(terminal):
        fail("the page's time line shows other lines than the terminal: %s"
             % sorted(set(shown) ^ set(terminal))[:6])

    # Causes before effects: the request before the window it opened.
    rows = re.findall(r'<td class="t">([0-9:.]+)</td><td><span class="kind k-([a-z]+)">', page)
    at = [kind for when, kind in rows if when == "2:15:00.00"]
    if at[:2] != ["event", "screen"]:
        fail("at 2:15:00 the page lists %s: the request should come before the window" % at)

    def disk_rows(text):
        return re.findall(r'<td class="t">([0-9:.]+)</td><td><span class="kind k-(save|rename|'
                          r'expiry|removed)">[a-z]+</span></td><td><span class="mono">([^<]*)',
                          text)
    rows = disk_rows(page)
    if not any(kind == "expiry" for _, kind, _ in rows):
        fail("no expiry in the report")
    plain_rows = disk_rows(run_report(tapsim, plain, scenario, work, "plain")[0])
    if plain_rows != rows:
        fail("the plain build's saves and expiries differ:\n%s\n%s" % (rows, plain_rows))

    made_up = os.path.join(work, "html_names.scn")
    with open(made_up, "w", encoding="utf-8") as f:
        f.write(HTML_NAMES)
    escaped = run_report(tapsim, plugin, made_up, work, "escaped")[0]
    self_contained(escaped, made_up)
    if "<b>Chan</b>" in escaped or "<script>x()" in escaped:
        fail("a channel or programme name reached the page unescaped")
    if "&lt;script&gt;x()&lt;/script&gt; &amp; &quot;Co&quot;" not in escaped:
        fail("the programme's name is not shown escaped")


def check_failing(tapsim, plugin, scenario, work):
    page, result, junit = run_report(tapsim, plugin, scenario, work, "failing", status=1)
    if not page:
        return None
    self_contained(page, scenario)
    # What failed comes first, with what was there instead and a link.
    first = page.find("<section")
    if page.find('<section class="failed" id="failed"><h2>What failed</h2>') != first:
        fail("the failing page does not begin with 'What failed'")
    summary = page[first:page.find("</section>", first)]
    failures = re.findall(r'<div class="failure" id="fail-\d+">(.*?)</div>\n(?:<pre class="instead">'
                          r'(.*?)</pre>)?', summary, re.S)
    expected = [l for l in result.stdout.splitlines()
                if l.startswith("  " + scenario + ":") and l.rstrip().endswith("FAIL")]
    if len(failures) != len(expected) or not failures:
        fail("the summary lists %d failures, the terminal %d" % (len(failures), len(expected)))
    ids = set(re.findall(r'<span id="(tl-\d+)"', page))
    for head, instead in failures:
        what = re.search(r'<span class="what">(.*?)</span>', head).group(1)
        if not instead:
            fail("the failure %s shows nothing of what was there instead" % what)
        link = re.search(r'href="#(tl-\d+)"', head)
        if not link or link.group(1) not in ids:
            fail("the failure %s has no link into the time line" % what)
            continue
        line = re.search(r'<span id="%s"[^>]*>([^<]*)</span>' % link.group(1), page).group(1)
        if what not in line or "FAIL" not in line:
            fail("the failure %s links to the time line's line %r" % (what, line))
    for detail in ("[Two]Film.rec 4096", "Old Film.rec deleted", "Delte all saved timeshift"):
        if detail not in summary:
            fail("the summary lacks the terminal's detail %r" % detail)
    info = run([tapsim, "--info", plugin], 0).stdout
    build_id = re.search(r"Build id +(\S+)", info).group(1)
    for row in ("<th>Build</th><td>diagnostic (writes every trace line), version",
                "<th>Build id</th><td>%s</td>" % build_id):
        if row not in page:
            fail("the Plug-in block lacks %r" % row)
    if 'class="mark m-pass-through"' not in page:
        fail("the Mode lane does not mark the step that saved and expired")
    power = re.search(r'<div class="name">Power</div>(.*?)\n', page)
    if not power or not all(m in power.group(1) for m in
                            ('class="bar dark"', 'class="mark m-power"', 'class="mark m-restart"')):
        fail("the Power lane lacks the cut, the dark or the start after it")
    faults = re.search(r'<div class="name">Faults, exit</div>(.*?)\n', page)
    if not faults or re.findall(r'class="mark m-fault"[^>]*data-t="(\d+)"', faults.group(1)) \
            != ["426000"]:
        fail("the Faults lane does not mark the fault once, at 1:11:00 where it made the open fail")
    if not re.search(r'class="bar md-off"[^>]*title="no power, 1:40:00 to 1:40:30"', page):
        fail("the Mode lane does not show the receiver without power from 1:40:00 to 1:40:30")
    check_junit(junit, scenario, failures=3, errors=0, skipped=0)
    return page


def junit_valid(xsd, path):
    result = subprocess.run(["xmllint", "--noout", "--schema", xsd, path],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result.returncode == 0, result.stdout


XSD = None


def check_junit(path, scenario, failures, errors, skipped):
    if not os.path.exists(path):
        fail("no JUnit file %s" % path)
        return
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as e:
        fail("%s is not well-formed XML: %s" % (path, e))
        return
    expectations = [l for l in open(scenario, encoding="utf-8")
                    if re.match(r"^\s*(at \S+ )?expect ", l)]
    cases = root.findall("./testsuite/testcase")
    got = (len(root.findall(".//failure")), len(root.findall(".//error")),
           len(root.findall(".//skipped")))
    if got != (failures, errors, skipped):
        fail("%s: failures, errors, skipped %s, expected %s" % (path, got, (failures, errors, skipped)))
    if len(cases) != len(expectations) + errors:
        fail("%s: %d test cases for %d expectations" % (path, len(cases), len(expectations)))
    suite = root.find("testsuite")
    if suite is None or suite.get("tests") != str(len(cases)) or suite.get("failures") != str(failures):
        fail("%s: the suite's counts do not match its test cases" % path)
    for case in cases:
        for f in case.findall("failure"):
            if not f.get("message") or case.get("name").split(": ", 1)[-1] not in (f.text or ""):
                fail("%s: the failure of %r lacks its text" % (path, case.get("name")))
    if XSD:
        valid, out = junit_valid(XSD, path)
        if not valid:
            fail("%s does not validate against %s:\n%s" % (path, XSD, out))


def check_schema_refuses(path, work):
    """The schema check can fail: a copy without the test cases' classname is refused."""
    text = open(path, encoding="utf-8").read()
    broken = os.path.join(work, "broken.xml")
    with open(broken, "w", encoding="utf-8") as f:
        f.write(re.sub(r' classname="[^"]*"', "", text))
    valid, _ = junit_valid(XSD, broken)
    if valid:
        fail("the schema accepts test cases without a classname: it checks nothing")


def check_cuts_in_a_step(tapsim, plugin, scenarios, work):
    scenario = os.path.join(scenarios, "power_cut_in_a_move.scn")
    page = run_report(tapsim, plugin, scenario, work, "cut-move")[0]
    rows = re.findall(r'<tr><td class="t">([0-9:.]+)</td><td><span class="kind k-([a-z]+)">',
                      page)
    kinds = [kind for _, kind in rows if kind in ("save", "power")]
    if kinds[:3] != ["save", "power", "power"]:
        fail("%s: the page lists %s, not the save before the cut and the start" % (scenario, kinds))

    scenario = os.path.join(scenarios, "power_cut_in_a_rename.scn")
    page = run_report(tapsim, plugin, scenario, work, "cut-rename")[0]
    power = re.search(r'<div class="name">Power</div>(.*?)\n', page)
    marks = re.findall(r'class="mark (m-power|m-restart)"', power.group(1)) if power else []
    if marks != ["m-power", "m-restart"]:
        fail("%s: the Power lane holds %s, not one cut and one start" % (scenario, marks))
    periods = re.findall(r'>Period \d+: ([0-9:]+) to ([0-9:]+)[^<]*</h3>.*?Saved as <b class="mono">'
                         r'([^<]*)</b>', page, re.S)
    if periods != [("0:00:05", "0:10:05", "News.rec"), ("0:10:35", "0:30:00", "Film.rec")]:
        fail("%s: the periods and their saves are %s" % (scenario, periods))


def check_disk_from(tapsim, plugin, work):
    copy = os.path.join(work, "receiver-copy")
    shutil.rmtree(copy, ignore_errors=True)
    save = os.path.join(copy, "DataFiles", "TimeShift", "Save")
    os.makedirs(save)
    os.makedirs(os.path.join(copy, "ProgramFiles"))
    for ext in ("", ".inf", ".nav"):
        with open(os.path.join(save, "Old.rec" + ext), "wb") as f:
            f.write(b"old")
    os.utime(os.path.join(save, "Old.rec"), (1765000000, 1765000000))  # December 2025
    scn = os.path.join(work, "disk_from.scn")
    with open(scn, "w", encoding="utf-8") as f:
        f.write(DISK_FROM)
    page = run_report(tapsim, plugin, scn, work, "disk-from", extra=["--disk-from", copy])[0]
    if "played over a copy of " + copy not in page or "<th>Disk from</th><td>" + copy not in page:
        fail("a --disk-from run does not say so on its page")


def check_unwritable(tapsim, plugin, scenario, work):
    for option, what in (("--report", "report"), ("--junit", "JUnit file")):
        result = run([tapsim, option, os.path.join(work, "no-such-folder", "x"), plugin, scenario], 2)
        if "cannot write the %s" % what not in result.stderr:
            fail("%s into a missing folder: no message (%r)" % (option, result.stderr))
        if re.search(r"start +__TAP_Init_|Expectations", result.stdout):
            fail("%s into a missing folder: the run was played before the path was found "
                 "unwritable" % option)


def check_crash(tapsim, crashing, work):
    scn = os.path.join(work, "crash.scn")
    with open(scn, "w", encoding="utf-8") as f:
        f.write(CRASH)
    page, result, junit = run_report(tapsim, crashing, scn, work, "crash", status=2)
    if "the plug-in crashed (signal" not in result.stderr:
        fail("the crash is not told on stderr: %r" % result.stderr)
    if not re.search(r"What failed</h2>\n<p class=\"failure what\">the plug-in crashed \(signal "
                     r"\d+\) at 0:00:05\.00", page):
        fail("the page of a run whose plug-in crashed does not say so at the top")
    if "crashing plug-in: started" not in page:
        fail("the crash page lacks the time line up to the crash")
    check_junit(junit, scn, failures=0, errors=1, skipped=1)


def png_size_and_colours(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        fail(path + " is not a PNG file")
        return 0, 0, 0
    width, height = struct.unpack(">II", data[16:24])
    idat, pos = b"", 8
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    # Distinct bytes of the filtered rows: a blank page has a handful.
    return width, height, len(set(zlib.decompress(idat)))


def chromium_run(chromium, args):
    profile = tempfile.mkdtemp(prefix="tapsim-chromium-")
    try:
        return subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu",
                               "--disable-quic", "--no-first-run",
                               "--disable-background-networking", "--disable-component-update",
                               "--disable-sync", "--hide-scrollbars",
                               "--user-data-dir=" + profile] + args,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                              timeout=120, check=False)
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def screenshot(chromium, page, shot, width, height):
    if os.path.exists(shot):
        os.remove(shot)
    chromium_run(chromium, ["--window-size=%d,%d" % (width, height), "--screenshot=" + shot,
                            "file://" + os.path.abspath(page)])
    if not os.path.exists(shot):
        fail("chromium wrote no screenshot of %s" % page)
        return
    w, h, colours = png_size_and_colours(shot)
    print("chromium drew %s: %dx%d, %d distinct byte values" % (shot, w, h, colours))
    if (w, h) != (width, height) or colours < 64:
        fail("the screenshot %s is blank or of the wrong size" % shot)


def check_layout(chromium, page_path, name, width):
    """The page drawn at width pixels: markers in time order, none hidden."""
    measured = page_path[:-5] + "-layout.html"
    text = open(page_path, encoding="utf-8").read()
    with open(measured, "w", encoding="utf-8") as f:
        f.write(text.replace("</body>", LAYOUT_SCRIPT + "</body>"))
    dom = chromium_run(chromium, ["--window-size=%d,1200" % width, "--dump-dom",
                                  "file://" + os.path.abspath(measured)]).stdout
    found = re.search(r'<pre id="layout-check">(.*?)</pre>', dom, re.S)
    if not found:
        fail("%s at %d px: the page could not be measured" % (name, width))
        return
    layout = json.loads(found.group(1).replace("&quot;", '"').replace("&amp;", "&")
                        .replace("&lt;", "<").replace("&gt;", ">"))
    marks_seen = 0
    for lane in layout["lanes"]:
        marks = lane["marks"]
        marks_seen += len(marks)
        for m in marks:
            if m["left"] < 0 or m["right"] > layout["width"]:
                fail("%s at %d px: a marker of the lane %s leaves the page" % (name, width, lane["name"]))
            if "m-fail" in m["cls"] and not m["onTop"]:
                fail("%s at %d px: a failed expectation's marker is hidden under another"
                     % (name, width))
        for a in marks:
            for b in marks:
                if a is b:
                    continue
                if a["t"] < b["t"] and (a["left"] + a["right"]) > (b["left"] + b["right"]) + 0.5:
                    fail("%s at %d px, lane %s: the marker of %d stands right of the one of %d"
                         % (name, width, lane["name"], a["t"], b["t"]))
                overlap = (min(a["right"], b["right"]) - max(a["left"], b["left"]) > 0.5 and
                           min(a["bottom"], b["bottom"]) - max(a["top"], b["top"]) > 0.5)
                if overlap and a["t"] <= b["t"]:
                    fail("%s at %d px, lane %s: the markers of %d and %d overlap"
                         % (name, width, lane["name"], a["t"], b["t"]))
    print("%s at %d px: %d markers in %d lanes, in time order, none hidden"
          % (name, width, marks_seen, len(layout["lanes"])))
    return layout


def main():
    global XSD, TMP
    tapsim, plugin, plain, scenario, failing, crashing, xsd, work = sys.argv[1:9]
    os.makedirs(work, exist_ok=True)
    TMP = os.path.join(work, "tmp")
    shutil.rmtree(TMP, ignore_errors=True)
    os.makedirs(TMP)
    xmllint = shutil.which("xmllint")
    if xmllint:
        XSD = xsd
    check_demo(tapsim, plugin, plain, scenario, work)
    failing_page = check_failing(tapsim, plugin, failing, work)
    if XSD:
        check_schema_refuses(os.path.join(work, "failing.xml"), work)
    check_cuts_in_a_step(tapsim, plugin,
                         os.path.join(os.path.dirname(os.path.abspath(failing)), "..", "scenarios"),
                         work)
    check_disk_from(tapsim, plugin, work)
    check_unwritable(tapsim, plugin, scenario, work)
    check_crash(tapsim, crashing, work)
    if problems:
        stop()

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("SKIP: no chromium here (Debian package chromium)")
        sys.exit(77)
    screenshot(chromium, os.path.join(work, "report.html"), os.path.join(work, "report.png"),
               1280, 2600)
    for width, height in ((800, 1800), (1280, 1400)):
        for page in ("report", "failing"):
            layout = check_layout(chromium, os.path.join(work, page + ".html"), page, width)
            if page == "failing" and layout and layout["firstSection"] != "failed":
                fail("failing page at %d px: the first section is %r, not What failed"
                     % (width, layout["firstSection"]))
        if failing_page:
            screenshot(chromium, os.path.join(work, "failing.html"),
                       os.path.join(work, "report-failing-%d.png" % width), width, height)
    if problems:
        stop()
    if not xmllint:
        print("SKIP: no xmllint here (Debian package libxml2-utils): the JUnit files were not "
              "checked against their schema")
        sys.exit(77)
    print("0 problems")


if __name__ == "__main__":
    main()
