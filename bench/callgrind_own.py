#!/usr/bin/env python3
"""Instructions of the plug-in's own code in a callgrind profile.

The profile is of bench_driver (run with --collect-atstart=no, so only the
measured stretches are collected). The simulated firmware is libtap.so: every
call that enters it from outside (the plug-in's firmware calls, the driver's
clock moves) is taken off with everything it ran.
The driver's own functions (those whose source lies in bench/ of this source
tree) are taken off as well, so what remains ("own") is the plug-in's code and
the C library work it asked for itself (strlen, memcpy, vsnprintf). Of that,
"plugin" is the plug-in's code alone (the functions of the program's own file
outside bench/): it depends only on the compiler and what the plug-in is
given, while the C library's share ("library") also depends on the C library,
the processor's features by which it picks its string routines, and where the
data lie.

    callgrind_own.py PROFILE [--top N]

Prints "own N" (instructions), "plugin N", "library N", "firmware N"
(instructions spent inside the simulated firmware), "driver N", "total N", and
with --top the plug-in's functions with the largest exclusive costs.
"""
import os
import re
import sys
from collections import defaultdict

FIRMWARE_OBJECT = "libtap.so"
BENCH_SOURCES = os.path.dirname(os.path.abspath(__file__))


def is_driver_source(path):
    """Whether a source file of the profile lies in bench/ of this tree."""
    return bool(path) and os.path.normpath(path).startswith(BENCH_SOURCES + os.sep)


def is_program(ob):
    """Whether an object of the profile is the program itself (not a library)."""
    name = os.path.basename(ob or "")
    return bool(name) and ".so" not in name and not name.startswith("[")


def split_own(total, firmware, driver, exclusive, fn_file):
    """own, plugin and library instructions of a parsed profile."""
    own = total - firmware - driver
    plugin = sum(c for (o, f), c in exclusive.items()
                 if is_program(o) and not is_driver_source(fn_file.get((o, f))))
    return own, plugin, own - plugin


def parse(path):
    names = {"ob": {}, "fn": {}, "fl": {}}
    total = None
    ob = fn = fl = None
    fn_file = {}  # (ob, fn) -> source file of the function
    cob = cfn = None
    pending_call = False
    exclusive = defaultdict(int)  # (ob, fn) -> cost
    into_firmware = 0
    with open(path, encoding="utf-8", errors="replace") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if not line:
                continue
            if line.startswith("summary:"):
                total = int(line.split()[1])
                continue
            m = re.match(r"^(fl|fi|fe|cfi|cfl)=\((\d+)\)(?: (.*))?$", line)
            if m:
                kind, ident, name = m.groups()
                if name is not None:
                    names["fl"][ident] = name
                if kind == "fl":
                    fl = names["fl"].get(ident, ident)
                continue
            m = re.match(r"^(c?)(ob|fn)=\((\d+)\)(?: (.*))?$", line)
            if m:
                called, kind, ident, name = m.groups()
                if name is not None:
                    names[kind][ident] = name
                value = names[kind].get(ident, ident)
                if called:
                    if kind == "ob":
                        cob = value
                    else:
                        cfn = value
                else:
                    if kind == "ob":
                        ob = value
                    else:
                        fn = value
                        cob = None
                        fn_file.setdefault((ob, fn), fl)
                continue
            if line.startswith("calls="):
                pending_call = True
                continue
            if line[0] in "0123456789+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_call:
                    callee_ob = cob if cob is not None else ob
                    if FIRMWARE_OBJECT in (callee_ob or "") and FIRMWARE_OBJECT not in (ob or ""):
                        into_firmware += cost
                    pending_call = False
                    cob = None
                else:
                    exclusive[(ob, fn)] += cost
                continue
            # fl=, fi=, fe=, cfi=, cfl= and headers change nothing counted here.
    if total is None:
        total = sum(exclusive.values())
    driver = sum(c for key, c in exclusive.items()
                 if is_driver_source(fn_file.get(key)) and FIRMWARE_OBJECT not in (key[0] or ""))
    return total, into_firmware, driver, exclusive, fn_file


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    total, firmware, driver, exclusive, fn_file = parse(sys.argv[1])
    own, plugin, library = split_own(total, firmware, driver, exclusive, fn_file)
    print(f"own {own}")
    print(f"plugin {plugin}")
    print(f"library {library}")
    print(f"firmware {firmware}")
    print(f"driver {driver}")
    print(f"total {total}")
    if "--top" in sys.argv:
        n = int(sys.argv[sys.argv.index("--top") + 1])
        # Functions of the plug-in only (those of the executable outside
        # bench/): the C library's share is in "own" but not listed here.
        own = [(c, o, f) for (o, f), c in exclusive.items()
               if is_program(o) and not is_driver_source(fn_file.get((o, f)))]
        for cost, o, f in sorted(own, reverse=True)[:n]:
            print(f"  {cost:>12} {f} ({o.rsplit('/', 1)[-1] if o else '?'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
