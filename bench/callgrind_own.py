#!/usr/bin/env python3
"""Instructions of the plug-in's own code in a callgrind profile.

The profile is of bench_driver (run with --collect-atstart=no, so only the
measured stretches are collected). The simulated firmware is libtap.so: every
call that enters it from outside (the plug-in's firmware calls, the driver's
clock moves) is taken off with everything it ran.
The driver's own functions (those whose source lies in bench/) are taken off
as well, so what remains is the plug-in's code and the C library work it asked
for itself (strlen, memcpy, vsnprintf).

    callgrind_own.py PROFILE [--top N]

Prints "own N" (instructions), "firmware N" (instructions spent inside the
simulated firmware), "driver N", "total N", and with --top the plug-in's
functions with the largest exclusive costs.
"""
import re
import sys
from collections import defaultdict

FIRMWARE_OBJECT = "libtap.so"
DRIVER_SOURCES = "/bench/"


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
                 if DRIVER_SOURCES in (fn_file.get(key) or "") and FIRMWARE_OBJECT not in (key[0] or ""))
    return total, into_firmware, driver, exclusive, fn_file


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    total, firmware, driver, exclusive, fn_file = parse(sys.argv[1])
    print(f"own {total - firmware - driver}")
    print(f"firmware {firmware}")
    print(f"driver {driver}")
    print(f"total {total}")
    if "--top" in sys.argv:
        n = int(sys.argv[sys.argv.index("--top") + 1])
        # Functions of the plug-in only (those of the executable outside
        # bench/): the C library's share is in "own" but not listed here.
        own = [(c, o, f) for (o, f), c in exclusive.items()
               if o and ".so" not in o and DRIVER_SOURCES not in (fn_file.get((o, f)) or "")]
        for cost, o, f in sorted(own, reverse=True)[:n]:
            print(f"  {cost:>12} {f} ({o.rsplit('/', 1)[-1] if o else '?'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
