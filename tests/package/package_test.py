#!/usr/bin/python3
"""The owner's package (./package), as an owner and the handheld's installer meet it.

Usage: package_test.py simulation SOURCE BUILD PACKAGE
       package_test.py owner SOURCE BUILD
       package_test.py elsewhere SOURCE BUILD PACKAGE

simulation: PACKAGE, made by ./package --simulation, passes sha256sum -c; each name in it
says "simulation"; cabextract -t passes on the cabinet; file calls the cabinet a WinCE install
and its setup file a WinCE install header for the StrongARM; the handheld installer's reading
of the setup file (sim/handheld-arm/setup_file.py) finds each field of SETUP_FIELDS; the
cabinet's program is the package's ARM program; PAYLOADS gives the stand-ins' digests and
sizes; and no file holds a time stamp in its PE header or the path of the source or build.
owner: ./package with two payloads of random bytes makes programs that hold those bytes (the
build that made the simulation's is made again with them), names without "simulation", and
PAYLOADS with their digests; and it refuses, in one line, each call of REFUSALS.
elsewhere: a copy of the sources in another, deeper folder, built in a folder of its own,
makes a package of the same bytes as PACKAGE.
Exits 77, which CTest counts as skipped, where the handheld's programs were not built.
"""
import hashlib
import os
import pathlib
import random
import shutil
import struct
import subprocess
import sys
import tempfile

SOURCE = pathlib.Path(sys.argv[2])
sys.path.insert(0, str(SOURCE / "sim" / "handheld-arm"))
sys.dont_write_bytecode = True
from setup_file import read_setup_file  # noqa: E402

SKIPPED = 77
LOADER_SIZE, ROM_SIZE = 1284, 293736
STANDIN_LOADER, STANDIN_ROM = SOURCE / "res" / "loader.bin", SOURCE / "res" / "rom-2.3.7.bin"
ALWAYS_OVERWRITE = 0x40000000
# What the handheld's installer must read in the simulation's setup file: (field, value).
SETUP_FIELDS = (
    ("signature", b"MSCE"), ("offset 4", 0), ("offset 12", 0), ("offset 16", 1),
    ("processor", 2577), ("lowest major", 3), ("lowest minor", 0), ("highest major", 0),
    ("highest minor", 0), ("lowest build", 0), ("highest build", 0), ("reghives", 0),
    ("regkeys", 0), ("unsupported length", 0), ("offset 96", 0), ("offset 98", 0),
    ("application", "GPS ROM 2.3.7 upgrade simulation"), ("provider", "Vandrel"),
    ("folders", {1: ["%CE1%", "Vandrel simulation"]}),
    ("files", [(1, 1, ALWAYS_OVERWRITE, "vandrel-simulation.exe")]),
    # base folder %CE11% (the Start menu's Programs), to file 1, a file
    ("shortcuts", [(11, 1, 1, ["Vandrel simulation.lnk"])]),
)
# What `file` says of each, in part.
FILE_SAYS = (("*.arm.cab", "WinCE install"), ("VANDRE~1.000", "WinCE install header"),
             ("VANDRE~1.000", "StrongARM"), ("*-arm.exe", "PE32 executable (Windows CE) ARM"),
             ("*-x86.exe", "PE32 executable (Windows CE) Intel 80386"))
# Calls that ./package refuses: (arguments, what its one line says, exit code); "{L}" and "{R}"
# are payloads of the right sizes, "{SL}" and "{SR}" the stand-ins.
REFUSALS = (
    ([], "--loader FILE --rom FILE", 2),
    ([], "--simulation", 2),
    (["--loader", "{L}"], "usage", 2),
    (["--simulation", "--rom", "{R}"], "usage", 2),
    (["--loader", "{SL}", "--rom", "{SR}"], "stand-in for the receiver's loader", 1),
    (["--loader", "{L}", "--rom", "{SR}"], "stand-in for the receiver's ROM 2.3.7", 1),
    (["--loader", "{R}", "--rom", "{R}"], "is 293736 bytes; the receiver's loader is 1284", 1),
    (["--loader", "{L}", "--rom", "{missing}"], "no such file", 1),
)


def fail(text):
    print("FAILED: %s" % text)
    sys.exit(1)


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, check=False, **options)


def one(folder, pattern):
    found = sorted(folder.glob(pattern))
    if len(found) != 1:
        fail("%s: %d files match %s" % (folder, len(found), pattern))
    return found[0]


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def setup_value(setup, field):
    special = {
        "application": lambda: setup.app, "provider": lambda: setup.provider,
        "folders": lambda: setup.dirs,
        "files": lambda: [(f.member, f.folder, f.flags, f.name) for f in setup.files],
        "shortcuts": lambda: [(k.base, k.target, k.kind, k.names) for k in setup.links],
    }
    return special[field]() if field in special else setup.header[field]


def check_payloads_text(package, loader, rom):
    text = (package / "PAYLOADS").read_text()
    for name, path, size in (("loader", loader, LOADER_SIZE), ("rom", rom, ROM_SIZE)):
        line = next((l for l in text.splitlines() if l.startswith(name + " ")), "")
        if digest(path) not in line or "%d bytes" % size not in line:
            fail("PAYLOADS does not give %s's digest and size: %r" % (path, line))


def check_simulation(build, package):
    checked = run(["sha256sum", "-c", "--strict", "SHA256SUMS"], cwd=package)
    if checked.returncode:
        fail("sha256sum -c: %s" % checked.stdout + checked.stderr)
    listed = {line.split("  ", 1)[1] for line in (package / "SHA256SUMS").read_text().splitlines()}
    present = {path.name for path in package.iterdir()} - {"SHA256SUMS"}
    if listed != present:
        fail("SHA256SUMS lists %s; the package has %s" % (sorted(listed), sorted(present)))
    unnamed = [name for name in present if "simulation" not in name and name != "PAYLOADS"]
    if unnamed:
        fail("names that do not say simulation: %s" % unnamed)
    cabinet = one(package, "*.arm.cab")
    tested = run(["cabextract", "-t", str(cabinet)])
    if tested.returncode or "All done, no errors." not in tested.stdout:
        fail("cabextract -t: %s" % tested.stdout + tested.stderr)
    with tempfile.TemporaryDirectory() as unpacked:
        unpacked = pathlib.Path(unpacked)
        run(["cabextract", "-q", "-d", str(unpacked), str(cabinet)])
        for pattern, said in FILE_SAYS:
            path = one(package if "exe" in pattern or "cab" in pattern else unpacked, pattern)
            told = run(["file", "-b", str(path)]).stdout
            if said not in told:
                fail("file says of %s: %s (no %r)" % (path.name, told.strip(), said))
        data = one(unpacked, "*.000").read_bytes()
        setup = read_setup_file(data)
        for field, value in SETUP_FIELDS + (("length", len(data)),):
            if setup_value(setup, field) != value:
                fail("the setup file's %s is %r, not %r"
                     % (field, setup_value(setup, field), value))
        if one(unpacked, "*.001").read_bytes() != one(package, "*-arm.exe").read_bytes():
            fail("the cabinet's program is not the package's ARM program")
    check_payloads_text(package, STANDIN_LOADER, STANDIN_ROM)
    paths = [os.fsencode(path) for path in (SOURCE.resolve(), build.resolve())]
    for path in package.iterdir():
        data = path.read_bytes()
        if any(folder in data for folder in paths):
            fail("%s holds the path of the sources or the build" % path.name)
        if path.suffix == ".exe":
            stamp = struct.unpack_from("<I", data, struct.unpack_from("<I", data, 0x3C)[0] + 8)
            if stamp[0]:
                fail("%s has the time stamp 0x%08x" % (path.name, stamp[0]))


def check_owner(build):
    scratch = pathlib.Path(tempfile.mkdtemp(dir=build))
    try:
        draw = random.Random(int.from_bytes(os.urandom(4), "little"))
        loader, rom = scratch / "loader.bin", scratch / "rom.bin"
        loader.write_bytes(bytes(draw.randrange(256) for _ in range(LOADER_SIZE)))
        rom.write_bytes(bytes(draw.randrange(256) for _ in range(ROM_SIZE)))
        names = {"{L}": loader, "{R}": rom, "{SL}": STANDIN_LOADER, "{SR}": STANDIN_ROM,
                 "{missing}": scratch / "missing.bin"}
        environment = dict(os.environ, BUILD_DIR=str(build))
        for arguments, said, code in REFUSALS:
            call = [str(names.get(a, a)) for a in arguments] + ["--out", str(scratch / "out")]
            refused = run([str(SOURCE / "package")] + call, env=environment)
            if refused.returncode != code or said not in refused.stdout + refused.stderr:
                fail("./package %s: exit code %d, said %r (not %d and %r)"
                     % (" ".join(arguments), refused.returncode, refused.stderr, code, said))
        made = run([str(SOURCE / "package"), "--loader", str(loader), "--rom", str(rom),
                    "--out", str(scratch / "out")], env=environment)
        if made.returncode:
            fail("./package with two payloads: %s" % made.stdout + made.stderr)
        package = scratch / "out"
        for path in package.iterdir():
            if "simulation" in path.name:
                fail("the owner's package has a simulation's name: %s" % path.name)
        for program in (one(package, "*-arm.exe"), one(package, "*-x86.exe")):
            data = program.read_bytes()
            if loader.read_bytes() not in data or rom.read_bytes() not in data:
                fail("%s does not hold the payloads it was given" % program.name)
        check_payloads_text(package, loader, rom)
    finally:
        shutil.rmtree(scratch)


def not_sources(folder, names):
    """What a copy of the sources leaves out: the builds and what they made, and git's own
    folder (a machine that runs the tests need not have git)."""
    made = {"out", "dist", ".git", "__pycache__"}
    at_root = pathlib.Path(folder).resolve() == SOURCE.resolve()
    return [name for name in names
            if name == "__pycache__" or (at_root and (name in made or name.startswith("build")))]


def check_elsewhere(build, package):
    copy = build / "elsewhere" / "in" / "a" / "deeper" / "folder" / "vandrel"
    shutil.rmtree(build / "elsewhere", ignore_errors=True)
    shutil.copytree(SOURCE, copy, ignore=not_sources)
    made = run([str(copy / "package"), "--simulation", "--out", str(copy / "dist")],
               env=dict(os.environ, BUILD_DIR=str(copy / "build")))
    if made.returncode:
        fail("./package --simulation in %s: %s" % (copy, made.stdout + made.stderr))
    for path in sorted(package.iterdir()):
        if path.read_bytes() != (copy / "dist" / path.name).read_bytes():
            fail("%s differs when made in %s" % (path.name, copy))
    shutil.rmtree(build / "elsewhere")
    print("the package made in %s has the same bytes" % copy)


def main():
    kind, build = sys.argv[1], pathlib.Path(sys.argv[3])
    if not (build / "handheld-arm" / "vandrel.exe").is_file():
        print("skipped: the handheld's programs were not built")
        sys.exit(SKIPPED)
    if kind == "simulation":
        check_simulation(build, pathlib.Path(sys.argv[4]))
    elif kind == "owner":
        check_owner(build)
    else:
        check_elsewhere(build, pathlib.Path(sys.argv[4]))
    print("PASSED: %s" % kind)


if __name__ == "__main__":
    main()
