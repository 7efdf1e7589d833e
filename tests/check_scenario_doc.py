#!/usr/bin/env python3
"""docs/scenarios.md describes the scenario language as the parser reads it.

Usage: check_scenario_doc.py SOURCE_DIR TAPSIM PLUGIN WORK_DIR

- Every keyword the parser in sim/tapsim/scenario.cpp compares a word with
  (directives, actions, expectations and the words inside them) is used in
  the page's example scenario, the last ```scn block.
- Every directive a table of the page names is one the parser knows.
- The example scenario is accepted: tapsim plays it (exit 1: its last two
  expectations fail on purpose) instead of refusing a line (exit 2).
- Every "# build:" value that tests/CMakeLists.txt acts on is described.
"""
import os
import re
import subprocess
import sys


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def parser_keywords(source):
    code = open(os.path.join(source, "sim/tapsim/scenario.cpp"), encoding="utf-8").read()
    words = set(re.findall(r'\b(?:word|w|what|l|k|t->text) == "([a-z]+)"', code))
    words |= set(re.findall(r'(?:ExpectWord|OptionalWord)\(c, "([a-z]+)"\)', code))
    if len(words) < 40:
        fail("found only %d keywords in scenario.cpp: has the parser changed its form?"
             % len(words))
    return words


def main():
    source, tapsim, plugin, work = sys.argv[1:5]
    page = open(os.path.join(source, "docs/scenarios.md"), encoding="utf-8").read()
    keywords = parser_keywords(source)

    blocks = re.findall(r"```scn\n(.*?)```", page, re.S)
    if not blocks:
        fail("docs/scenarios.md has no ```scn example")
    example = blocks[-1]
    used = set()
    for line in example.splitlines():
        line = re.sub(r'"(\\.|[^"\\])*"', " ", line).split("#")[0]
        used |= set(line.split())
    missing = sorted(keywords - used)
    if missing:
        fail("the example scenario in docs/scenarios.md does not use: " + ", ".join(missing))

    # The directives the tables name: the first word of each first-column code span.
    named = set()
    for row in re.findall(r"^\| `([^|]*)\|", page, re.M):
        for span in re.findall(r"`?([a-z]+)[^`]*`", "`" + row):
            named.add(span)
    unknown = sorted(named - keywords)
    if unknown:
        fail("docs/scenarios.md names directives the parser does not know: " + ", ".join(unknown))
    print("%d keywords, all in the example; %d directives named in the tables"
          % (len(keywords), len(named)))

    cmake = open(os.path.join(source, "tests/CMakeLists.txt"), encoding="utf-8").read()
    for value in sorted(set(re.findall(r'only MATCHES "([a-z]+)"', cmake))):
        if "# build: " + value not in page:
            fail("docs/scenarios.md does not describe '# build: %s'" % value)

    os.makedirs(work, exist_ok=True)
    scn = os.path.join(work, "every_directive.scn")
    with open(scn, "w", encoding="utf-8") as f:
        f.write(example)
    result = subprocess.run([tapsim, "--quiet", "--disk", os.path.join(work, "disk"), plugin, scn],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    print(result.stdout.strip())
    if result.returncode != 1 or result.stdout.count("FAIL") != 2:
        fail("the example should play with exactly its last two expectations failing "
             "(exit %d)" % result.returncode)


if __name__ == "__main__":
    main()
