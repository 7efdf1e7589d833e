#!/usr/bin/env python3
"""What an owner gets: the receiver build installed into an empty folder and
packed as the ZIP and .tar.gz archives, checked file by file, and the upgrade
carried out as the user guide says.

Usage: check_install.py CMAKE BUILD_DIR SOURCE_DIR PLAIN.tap DIAGNOSTIC.tap

- `cmake --install` lays out exactly the package's files: the plug-in files
  byte for byte as built, the sample settings under a name the plug-in does
  not read, the guide and its pictures, the source archive, and SHA256SUMS
  over all of them.
- The guide stands alone: every link and picture it names is in the package,
  and every file of the source it names (scripts/..., docs/..., scenarios/...)
  is in the source archive, which holds the tracked files of the source.
- cpack makes both archives; each holds the same files under one top folder.
- The upgrade: the guide's copy command, run as written onto a copy of a
  receiver's disk that holds an earlier plug-in, an owner's Brantlow.ini, a
  log and recordings, leaves the new plug-in file in place and every file of
  the owner's unchanged. Run on an empty disk it is the first installation.
"""
import glob
import hashlib
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

failures = []


def fail(message):
    failures.append(message)


def main():
    cmake, build, source, plain, diagnostic = sys.argv[1:6]
    top = tempfile.mkdtemp(prefix="brantlow-install-")
    try:
        check(cmake, build, source, plain, diagnostic, top)
    finally:
        shutil.rmtree(top, ignore_errors=True)
    for f in failures:
        print("FAIL: %s" % f)
    return 1 if failures else 0


def version_of(source):
    text = open(os.path.join(source, "CMakeLists.txt"), encoding="utf-8").read()
    return re.search(r"project\(Brantlow VERSION ([0-9.]+)", text).group(1)


def files_below(top):
    found = {}
    for folder, _, names in os.walk(top):
        for name in names:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, top)] = open(path, "rb").read()
    return found


def check(cmake, build, source, plain, diagnostic, work):
    version = version_of(source)
    archive_name = "Brantlow-%s-source.tar.gz" % version
    installed = os.path.join(work, "installed")
    proc = subprocess.run([cmake, "--install", build, "--prefix", installed],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        fail("cmake --install failed:\n%s%s" % (proc.stdout, proc.stderr))
        return

    # Each installed file and what it must be, byte for byte.
    expected = {
        "ProgramFiles/Brantlow.tap": plain,
        "ProgramFiles/Settings/Brantlow/Brantlow-sample.ini": os.path.join(source, "docs", "Brantlow.ini"),
        "Brantlow-diagnostic.tap": diagnostic,
        "user-guide.md": os.path.join(source, "docs", "user-guide.md"),
    }
    for png in glob.glob(os.path.join(source, "docs", "screens", "*.png")):
        if os.path.basename(png).startswith("report"):  # the simulator's pages, not the owner's
            continue
        expected["screens/" + os.path.basename(png)] = png
    found = files_below(installed)
    listed = set(expected) | {archive_name, "SHA256SUMS"}
    missing = sorted(listed - set(found))
    extra = sorted(set(found) - listed)
    if missing:
        fail("missing: %s" % ", ".join(missing))
    if extra:
        fail("not expected: %s" % ", ".join(extra))
    for rel, origin in sorted(expected.items()):
        if rel in found and found[rel] != open(origin, "rb").read():
            fail("%s is not a copy of %s" % (rel, origin))
    if any(os.path.basename(rel) == "Brantlow.ini" for rel in found):
        fail("the package holds a Brantlow.ini: copying it would overwrite the owner's settings")

    # The checksum file: every other file once, with its SHA-256.
    sums = {}
    for line in found.get("SHA256SUMS", b"").decode().splitlines():
        digest, _, rel = line.partition("  ")
        if rel in sums:
            fail("SHA256SUMS lists %s twice" % rel)
        sums[rel] = digest
    if set(sums) != set(found) - {"SHA256SUMS"}:
        fail("SHA256SUMS lists %s, expected %s" % (sorted(sums), sorted(set(found) - {"SHA256SUMS"})))
    for rel, digest in sums.items():
        if rel in found and hashlib.sha256(found[rel]).hexdigest() != digest:
            fail("SHA256SUMS: wrong checksum for %s" % rel)

    sources = check_source_archive(found.get(archive_name, b""), source, version)
    check_guide_stands_alone(found, sources)
    packages = check_archives(cmake, build, work, found, version)
    if "zip" in packages:
        check_upgrade(packages["zip"], source, plain)
    if not failures:
        print("installed and packed %d files as the receiver's disk wants them, with their "
              "checksums; the guide names only what the package holds; the upgrade keeps the "
              "owner's files" % len(found))


def check_source_archive(data, source, version):
    """The source archive's files (path below its top folder -> bytes)."""
    files = {}
    if not data:
        return files
    with tarfile.open(fileobj=io.BytesIO(data), mode="r:gz") as tar:
        for member in tar.getmembers():
            prefix = "Brantlow-%s/" % version
            if not (member.name + "/").startswith(prefix):
                fail("source archive: %s lies outside %s" % (member.name, prefix))
                continue
            if member.isfile():
                files[member.name[len(prefix):]] = tar.extractfile(member).read()
    tracked = None
    if shutil.which("git") and os.path.exists(os.path.join(source, ".git")):
        proc = subprocess.run(["git", "-C", source, "-c", "core.quotepath=off", "ls-files"],
                              capture_output=True, text=True)
        if proc.returncode == 0:
            tracked = {f for f in proc.stdout.splitlines()
                       if os.path.isfile(os.path.join(source, f))}
    if tracked is not None and set(files) != tracked:
        fail("source archive: not the tracked files; missing %s, extra %s"
             % (sorted(tracked - set(files))[:10], sorted(set(files) - tracked)[:10]))
    for rel, data in files.items():
        path = os.path.join(source, rel)
        if os.path.isfile(path) and open(path, "rb").read() != data:
            fail("source archive: %s differs from the source" % rel)
    for needed in ("CMakeLists.txt", "scripts/demo.sh", "docs/scenarios.md"):
        if needed not in files:
            fail("source archive lacks %s" % needed)
    return files


def check_guide_stands_alone(found, sources):
    guide = found.get("user-guide.md", b"").decode("utf-8")
    anchors = {heading_anchor(h) for h in re.findall(r"^#+ (.*)$", guide, re.M)}
    for target in re.findall(r"\]\(([^)\s]+)\)", guide):
        if target.startswith("#"):
            if target[1:] not in anchors:
                fail("user guide: the link %s leads to no heading" % target)
        elif re.match(r"[a-z]+:", target):
            fail("user guide: the link %s leads out of the package" % target)
        elif target not in found:
            fail("user guide: %s is not in the package" % target)
    # Files of the source the guide names: in the source archive.
    for name in sorted(set(re.findall(r"`((?:scripts|docs|scenarios|sim|tests)/[\w./-]+)`", guide))):
        if name not in sources:
            fail("user guide: it names %s, which the source archive does not hold" % name)


def heading_anchor(text):
    text = re.sub(r"[`*]", "", text.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def check_archives(cmake, build, work, installed, version):
    """Packs both archives; returns {kind: the archive's files below its top folder}."""
    cpack = os.path.join(os.path.dirname(cmake), "cpack")
    out = os.path.join(work, "package")
    proc = subprocess.run([cpack if os.path.exists(cpack) else "cpack", "--config",
                           os.path.join(build, "CPackConfig.cmake"), "-B", out],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        fail("cpack failed:\n%s%s" % (proc.stdout[-3000:], proc.stderr[-3000:]))
        return {}
    topname = "Brantlow-%s-receiver/" % version
    packages = {}
    for kind, suffix in (("zip", ".zip"), ("tgz", ".tar.gz")):
        path = os.path.join(out, "Brantlow-%s-receiver%s" % (version, suffix))
        if not os.path.exists(path):
            fail("cpack made no %s" % os.path.basename(path))
            continue
        files = {}
        if kind == "zip":
            with zipfile.ZipFile(path) as z:
                for info in z.infolist():
                    if not info.is_dir():
                        files[info.filename] = z.read(info)
        else:
            with tarfile.open(path, "r:gz") as t:
                for member in t.getmembers():
                    if member.isfile():
                        files[member.name] = t.extractfile(member).read()
        outside = [f for f in files if not f.startswith(topname)]
        if outside:
            fail("%s: files outside the folder %s: %s" % (os.path.basename(path), topname, outside))
        files = {f[len(topname):]: d for f, d in files.items() if f.startswith(topname)}
        if set(files) != set(installed):
            fail("%s holds %s, the installation %s" % (os.path.basename(path), sorted(files),
                                                       sorted(installed)))
        for rel in set(files) & set(installed):
            # The source archive is made afresh for each; its files are compared above.
            if rel.endswith("-source.tar.gz") or rel == "SHA256SUMS":
                continue
            if files[rel] != installed[rel]:
                fail("%s: %s differs from the installed file" % (os.path.basename(path), rel))
        packages[kind] = files
    return packages


def upgrade_command(source):
    """The copy command of the guide's section on installing and upgrading."""
    guide = open(os.path.join(source, "docs", "user-guide.md"), encoding="utf-8").read()
    section = guide.split("## Installing and upgrading", 1)[-1].split("\n## ", 1)[0]
    commands = [line.strip() for block in re.findall(r"```sh\n(.*?)```", section, re.S)
                for line in block.splitlines() if line.strip().startswith("cp ")]
    if len(commands) != 1:
        fail("the guide's section 'Installing and upgrading' should quote one cp command, "
             "found %d" % len(commands))
        return None
    return commands[0]


def check_upgrade(package, source, plain):
    command = upgrade_command(source)
    if not command:
        return
    work = tempfile.mkdtemp(prefix="brantlow-upgrade-")
    try:
        # The owner's PC: the package unpacked, and a copy of the receiver's disk.
        unpacked = os.path.join(work, "pc")
        for rel, data in package.items():
            path = os.path.join(unpacked, "Brantlow-%s-receiver" % version_of(source), rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        sample = "ProgramFiles/Settings/Brantlow/Brantlow-sample.ini"
        added = {"receiver": [sample], "new-receiver": ["ProgramFiles/Brantlow.tap", sample]}
        for disk_name, owner in (("receiver", {
                "ProgramFiles/Brantlow.tap": b"\x7fELF an earlier Brantlow",
                "ProgramFiles/Settings/Brantlow/Brantlow.ini":
                    b"; mine\r\nKeepBufferHours=100\r\nRenameMode=0\r\n",
                "ProgramFiles/Settings/Brantlow/Brantlow.log":
                    b"2026-12-01 20:00:00 Timeshift storage switched on\r\n\r\n",
                "ProgramFiles/Other.tap": b"someone else's plug-in",
                "DataFiles/TimeShift/Save/Film.rec": b"stream",
                "DataFiles/TimeShift/Save/Film.rec.inf": b"inf",
                "DataFiles/TimeShift/Save/Film.rec.nav": b"nav",
            }), ("new-receiver", {"DataFiles/TimeShift/.keep": b""})):
            disk = os.path.join(work, disk_name)
            for rel, data in owner.items():
                os.makedirs(os.path.dirname(os.path.join(disk, rel)), exist_ok=True)
                with open(os.path.join(disk, rel), "wb") as f:
                    f.write(data)
            words = [disk if w == "/media/receiver/" or w == "/media/receiver" else w
                     for w in shlex.split(command)]
            if disk not in words:
                fail("the guide's command %r names no /media/receiver" % command)
                return
            proc = subprocess.run(words, cwd=unpacked, capture_output=True, text=True)
            if proc.returncode != 0:
                fail("`%s` failed: %s" % (command, proc.stderr))
                continue
            after = files_below(disk)
            if after.get("ProgramFiles/Brantlow.tap") != open(plain, "rb").read():
                fail("%s: after `%s` ProgramFiles/Brantlow.tap is not the new plug-in file"
                     % (disk_name, command))
            for rel, data in owner.items():
                if rel != "ProgramFiles/Brantlow.tap" and after.get(rel) != data:
                    fail("%s: `%s` changed the owner's %s" % (disk_name, command, rel))
            new = sorted(set(after) - set(owner))
            if new != added[disk_name]:
                fail("%s: `%s` added %s, expected %s" % (disk_name, command, new, added[disk_name]))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
