#!/usr/bin/env python3
"""Checks a plug-in file as the firmware will see it.

Usage: check_plugin_elf.py PLUGIN.tap host|receiver [READELF]
           [--kind plain|diagnostic] [--abi LIST --objdump OBJDUMP] [--expect-fail CHECK,...]

- ELF class, byte order, machine and type (shared object);
- the six identification sections with their sizes, contents and address order;
- the entry points exported;
- NEEDED: exactly libtap.so, libc and libdl;
- with --kind: the build note names that kind of build;
- with --abi (the receiver's file): every undefined symbol is on the allow-list
  and none is a C library internal; no symbol version newer than the
  architecture's first; no run path; the ELF header says base MIPS32; and the
  code holds no MIPS32 release 2 instruction and no floating-point instruction.

--expect-fail turns the check around, for a file built the wrong way on
purpose: it passes only when every check named failed.
"""
import argparse
import re
import struct
import subprocess
import sys

EXPECTED_SECTIONS = [
    ("._tap_etcinfo", 64),
    ("._tap_description", 128),
    ("._tap_author_name", 64),
    ("._tap_program_name", 64),
    ("._tap_id", 4),
    ("._tap_header", 32),
]
DESCRIPTION = (b"Manages Timeshift buffer\nMoves saved Timeshift recordings to subfolder "
               b"/TimeShift/Save and deletes them after a certain time.")
EXPORTS = ["__TAP_Init_", "TAP_Main", "TAP_EventHandler"]

failures = []  # (check name, message)
current_check = "identification"


def check(cond, what):
    if not cond:
        failures.append((current_check, what))


def read_sections(data):
    if data[:4] != b"\x7fELF":
        raise SystemExit("not an ELF file")
    cls, endian = data[4], data[5]
    fmt = "<" if endian == 1 else ">"
    if cls == 1:
        e_type, e_machine = struct.unpack_from(fmt + "HH", data, 16)
        e_shoff, = struct.unpack_from(fmt + "I", data, 32)
        e_shentsize, e_shnum, e_shstrndx = struct.unpack_from(fmt + "HHH", data, 46)
    else:
        e_type, e_machine = struct.unpack_from(fmt + "HH", data, 16)
        e_shoff, = struct.unpack_from(fmt + "Q", data, 40)
        e_shentsize, e_shnum, e_shstrndx = struct.unpack_from(fmt + "HHH", data, 58)
    sections = []
    for i in range(e_shnum):
        off = e_shoff + i * e_shentsize
        if cls == 1:
            name, typ, flags, addr, offset, size = struct.unpack_from(fmt + "IIIIII", data, off)
        else:
            name, typ, flags, addr, offset, size = struct.unpack_from(fmt + "IIQQQQ", data, off)
        sections.append([name, addr, offset, size, typ])
    strtab = sections[e_shstrndx]
    for s in sections:
        start = strtab[2] + s[0]
        s[0] = data[start:data.index(b"\0", start)].decode()
    return cls, endian, e_type, e_machine, {s[0]: s for s in sections}


SHT_NOTE = 7


def notes(data, sections):
    """(owner, type, descriptor) of every note in the file's note sections."""
    found = []
    for name, addr, offset, size, typ in sections.values():
        if typ != SHT_NOTE:
            continue
        at, end = offset, offset + size
        while at + 12 <= end:
            namesz, descsz, ntype = struct.unpack_from("<III", data, at)
            owner = data[at + 12:at + 12 + namesz].rstrip(b"\0").decode(errors="replace")
            desc_at = at + 12 + (namesz + 3) // 4 * 4
            found.append((owner, ntype, data[desc_at:desc_at + descsz]))
            at = desc_at + (descsz + 3) // 4 * 4
    return found


def read_allow_list(path):
    """Names of the allow-list by library: {soname: set of names}."""
    libs = {}
    current = None
    for line in open(path):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        m = re.match(r"^\[(.+)\]$", line)
        if m:
            current = libs.setdefault(m.group(1), set())
        elif current is not None:
            current.update(line.split())
    return libs


# C library internals that inline functions and hardening options bring in:
# they tie a file to one C library and its version.
INTERNALS = re.compile(r"^(__ctype_|__.*_chk$|__stack_chk_|__assert_fail$|__cxa_)")

E_MIPS_ARCH = 0xF0000000
E_MIPS_ARCH_32 = 0x50000000
E_MIPS_ARCH_NAMES = {0x50000000: "mips32", 0x70000000: "mips32r2", 0x90000000: "mips32r6",
                     0x00000000: "mips1", 0x10000000: "mips2"}


def instruction_faults(word):
    """What is wrong with one MIPS32 instruction word for the base ISA
    without floating point: 'fp', 'r2' or None."""
    op, rs, rt, sa, fn = word >> 26, (word >> 21) & 31, (word >> 16) & 31, (word >> 6) & 31, word & 63
    # Coprocessor 1 and its loads and stores, COP1X, and movf/movt (which
    # test a floating-point condition code).
    if op in (0x11, 0x13, 0x31, 0x35, 0x39, 0x3D) or (op == 0 and fn == 0x01):
        return "fp"
    if op == 0x1F:  # SPECIAL3: ext, ins, seb, seh, wsbh, rdhwr
        return "r2"
    if op == 0 and ((fn == 0x02 and rs == 1) or (fn == 0x06 and sa == 1)):  # rotr, rotrv
        return "r2"
    if op == 0 and fn in (0x08, 0x09) and word & 0x400:  # jr.hb, jalr.hb
        return "r2"
    if op == 0x01 and rt == 0x1F:  # synci
        return "r2"
    if op == 0x10 and rs in (0x0A, 0x0B, 0x0E):  # rdpgpr, di/ei, wrpgpr
        return "r2"
    return None


def check_receiver_abi(path, data, readelf, objdump, allow_list):
    global current_check
    allowed = set().union(*read_allow_list(allow_list).values())

    current_check = "symbols"
    syms = subprocess.run([readelf, "--dyn-syms", "-W", path], capture_output=True, text=True).stdout
    undefined = set()
    for line in syms.splitlines():
        f = line.split()
        if len(f) >= 8 and f[6] == "UND" and f[7]:
            undefined.add(f[7].split("@")[0])
    for name in sorted(undefined):
        if INTERNALS.match(name):
            check(False, "names the C library internal %s" % name)
        elif name not in allowed:
            check(False, "names %s, which is not on the allow-list %s" % (name, allow_list))

    current_check = "versions"
    versions = subprocess.run([readelf, "-V", "-W", path], capture_output=True, text=True).stdout
    for m in re.finditer(r"Name: (\S+)\s+Flags", versions):
        check(m.group(1) == "GLIBC_2.0",
              "needs symbol version %s (newer than the architecture's first, GLIBC_2.0)" % m.group(1))

    current_check = "runpath"
    dyn = subprocess.run([readelf, "-d", "-W", path], capture_output=True, text=True).stdout
    for line in dyn.splitlines():
        if "(RUNPATH)" in line or "(RPATH)" in line:
            check(False, "has a run path: %s" % line.strip())

    current_check = "isa"
    e_flags, = struct.unpack_from("<I", data, 36)
    arch = e_flags & E_MIPS_ARCH
    check(arch == E_MIPS_ARCH_32, "ELF header says %s, expected base mips32" %
          E_MIPS_ARCH_NAMES.get(arch, hex(arch)))

    current_check = "disassembly"
    listing = subprocess.run([objdump, "-d", "-z", path], capture_output=True, text=True)
    check(listing.returncode == 0, "%s -d failed: %s" % (objdump, listing.stderr.strip()))
    seen = {"r2": {}, "fp": {}}
    count = 0
    for line in listing.stdout.splitlines():
        m = re.match(r"^\s*[0-9a-f]+:\t([0-9a-f]{8}) \t(\S+)", line)
        if not m:
            continue
        count += 1
        fault = instruction_faults(int(m.group(1), 16))
        if fault:
            seen[fault][m.group(2)] = seen[fault].get(m.group(2), 0) + 1
    check(count > 0, "no instructions found in the disassembly")
    for fault, what in (("r2", "MIPS32 release 2 instructions"), ("fp", "floating-point instructions")):
        current_check = fault + "-instructions"
        if seen[fault]:
            check(False, "holds %s: %s" % (what, ", ".join(
                "%s (%d)" % (k, v) for k, v in sorted(seen[fault].items()))))


def main():
    global current_check
    parser = argparse.ArgumentParser()
    parser.add_argument("path")
    parser.add_argument("machine", choices=["host", "receiver"])
    parser.add_argument("readelf", nargs="?", default="readelf")
    parser.add_argument("--kind", choices=["plain", "diagnostic"])
    parser.add_argument("--abi")
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--expect-fail", default="")
    args = parser.parse_args()
    path, machine, readelf = args.path, args.machine, args.readelf
    data = open(path, "rb").read()
    cls, endian, e_type, e_machine, sections = read_sections(data)

    if machine == "receiver":
        check(cls == 1, "ELF32 expected")
        check(e_machine == 8, "MIPS machine expected (8), found %d" % e_machine)
    else:
        check(cls == 2, "ELF64 expected")
        check(e_machine == 62, "x86-64 machine expected (62), found %d" % e_machine)
    check(endian == 1, "little-endian expected")
    check(e_type == 3, "shared object (ET_DYN) expected")

    last_addr = -1
    contents = {}
    for name, size in EXPECTED_SECTIONS:
        s = sections.get(name)
        check(s is not None, "section %s missing" % name)
        if s is None:
            continue
        check(s[3] == size, "section %s is %d bytes, expected %d" % (name, s[3], size))
        check(s[1] > last_addr, "section %s is not after the one before it" % name)
        last_addr = s[1]
        contents[name] = data[s[2]:s[2] + s[3]]

    def padded(text, size):
        return text + b"\0" * (size - len(text))

    if len(contents) == len(EXPECTED_SECTIONS):
        check(contents["._tap_etcinfo"] == padded(b"Dec 19 2011", 64), "build date text")
        check(contents["._tap_description"] == padded(DESCRIPTION, 128), "description text")
        author = contents["._tap_author_name"]
        check(author[0] != 0 and author.endswith(b"\0"), "author name present and zero-padded")
        check(contents["._tap_program_name"] == padded(b"Brantlow V1.4", 64), "program name")
        check(contents["._tap_id"] == bytes([0x89, 0x08, 0x48, 0x80]), "plug-in id 0x80480889")
        check(contents["._tap_header"] == b"TFAPMIPS" + bytes([16, 0, 0, 0]) + b"\0" * 20,
              "header record")

    dyn = subprocess.run([readelf, "-d", "-W", path], capture_output=True, text=True).stdout
    needed = sorted(line.split("[")[1].split("]")[0] for line in dyn.splitlines() if "(NEEDED)" in line)
    check(needed == ["libc.so.6", "libdl.so.2", "libtap.so"],
          "NEEDED must be exactly libtap.so, libc, libdl; found %s" % needed)

    syms = subprocess.run([readelf, "--dyn-syms", "-W", path], capture_output=True, text=True).stdout
    exported = set()
    for line in syms.splitlines():
        f = line.split()
        if len(f) >= 8 and f[4] == "GLOBAL" and f[5] == "DEFAULT" and f[6] != "UND":
            exported.add(f[7])
    for name in EXPORTS:
        check(name in exported, "symbol %s not exported" % name)

    if args.kind:
        current_check = "kind"
        texts = [d.rstrip(b"\0").decode(errors="replace")
                 for owner, t, d in notes(data, sections) if owner == "Brantlow" and t == 1]
        check(len(texts) == 1, "one Brantlow build note expected, found %d" % len(texts))
        check(all(t.endswith(" " + args.kind) for t in texts),
              "build note says %s, expected a %s build" % (texts, args.kind))
        check(any(owner == "GNU" and t == 3 for owner, t, d in notes(data, sections)),
              "no build id note")

    if args.abi:
        check_receiver_abi(path, data, readelf, args.objdump, args.abi)

    for name, what in failures:
        print("FAIL: %s: [%s] %s" % (path, name, what))
    if args.expect_fail:
        # A file built the wrong way on purpose: every check named must fail.
        missed = [c for c in args.expect_fail.split(",") if c not in {n for n, w in failures}]
        if missed:
            print("%s: these checks did not fail: %s" % (path, ", ".join(missed)))
            return 1
        print("%s: every check named failed, as it must" % path)
        return 0
    if failures:
        return 1
    print("%s: identification block, exports and NEEDED as expected%s" %
          (path, "; symbols, versions, run path and instructions as the receiver needs"
           if args.abi else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
