#!/usr/bin/env python3
"""Checks a plug-in file as the firmware will see it.

Usage: check_plugin_elf.py PLUGIN.tap host|receiver [READELF]

- ELF class, byte order, machine and type (shared object);
- the six identification sections with their sizes, contents and address order;
- the entry points exported;
- NEEDED: exactly libtap.so, libc and libdl.
"""
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

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


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
        sections.append([name, addr, offset, size])
    strtab = sections[e_shstrndx]
    for s in sections:
        start = strtab[2] + s[0]
        s[0] = data[start:data.index(b"\0", start)].decode()
    return cls, endian, e_type, e_machine, {s[0]: s for s in sections}


def main():
    path, machine = sys.argv[1], sys.argv[2]
    readelf = sys.argv[3] if len(sys.argv) > 3 else "readelf"
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

    if failures:
        for f in failures:
            print("FAIL: %s: %s" % (path, f))
        return 1
    print("%s: identification block, exports and NEEDED as expected" % path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
