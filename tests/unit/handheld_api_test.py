#!/usr/bin/env python3
"""The handheld's program is what it claims to be, and calls only what the handheld's list says.

Usage: handheld_api_test.py OBJDUMP LIST SOURCE_ROOT PROGRAM

Fails unless PROGRAM, the handheld build's vandrel.exe, is an i386 executable for the Windows
CE GUI subsystem, version 3.00, with a stack reserve of at most 64 KB, importing from
COREDLL.dll and COMMCTRL.dll only; unless its imports and LIST (platform/handheld_api.txt,
whose header gives its rules) agree both ways; and unless its code is what a Windows CE x86
machine runs: __cdecl throughout (no name decorated as __stdcall, no procedure that pops its
own arguments) and no instruction newer than the 486.
Exits 77, which CTest counts as skipped, when the handheld's program was not built: tools/env.sh
says why, and fails where it must be.
"""
import pathlib
import re
import struct
import subprocess
import sys

SKIPPED = 77
MACHINE_I386 = 0x14C
SUBSYSTEM_WINDOWS_CE_GUI = 9
SOURCE_DIRS = ("engine", "ui", "platform")
MOST_STACK_RESERVE = 64 * 1024
# What the 486 lacks: the Pentium's and the Pentium Pro's additions, and every register set
# after the x87's. (objdump's AT&T mnemonics.)
NEWER_THAN_486 = re.compile(
    r"^(cmov\w+|fcmov\w+|f(u)?comip?|rdtsc|rdpmc|cpuid|cmpxchg8b|sysenter|sysexit|"
    r"fxsave|fxrstor|[lms]fence|prefetch\w*|emms|movnti|clflush|popcnt|[lt]zcnt|movbe|crc32)\b"
    r"|%[xy]?mm\d")
DECORATED = re.compile(r"\w@\d+$")

def read_list(path):
    """Section name -> {name: the line's fields}."""
    sections, section = {}, None
    for line in pathlib.Path(path).read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            section = sections.setdefault(line.strip("[]"), {})
        else:
            fields = [field.strip() for field in line.split("|")]
            section[fields[0]] = fields
    return sections


def headers(program):
    """(machine, subsystem, subsystem version) from the PE headers."""
    image = pathlib.Path(program).read_bytes()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    machine = struct.unpack_from("<H", image, pe + 4)[0]
    optional = pe + 24
    major, minor = struct.unpack_from("<HH", image, optional + 48)
    subsystem = struct.unpack_from("<H", image, optional + 68)[0]
    stack_reserve = struct.unpack_from("<I", image, optional + 72)[0]
    return machine, subsystem, (major, minor), stack_reserve


def code_faults(objdump, program):
    """What in the code a Windows CE x86 machine would not run, each naming its procedure."""
    listing = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", program], check=True,
                             capture_output=True, text=True).stdout
    faults, procedure = [], "?"
    for line in listing.splitlines():
        heading = re.match(r"[0-9a-f]+ <(.+)>:$", line)
        insn = re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if heading:
            procedure = heading.group(1)
        elif insn:
            address, mnemonic, operands = insn.groups()
            popped = re.match(r"\$(0x[0-9a-f]+)", operands)
            if mnemonic in ("ret", "retl", "lret") and popped:
                faults.append("%s pops %d bytes of its own arguments (%s %s at 0x%s): not __cdecl"
                              % (procedure, int(popped.group(1), 16), mnemonic, operands,
                                 address))
            elif NEWER_THAN_486.search(mnemonic) or NEWER_THAN_486.search(operands):
                faults.append("%s has %s %s at 0x%s, which the 486 lacks"
                              % (procedure, mnemonic, operands, address))
    symbols = subprocess.run([objdump, "-t", program], check=True, capture_output=True,
                             text=True).stdout.split()
    faults += ["%s is decorated as __stdcall" % name for name in symbols if DECORATED.search(name)]
    return faults


def imports(objdump, program):
    """DLL name -> the names imported from it."""
    listing = subprocess.run([objdump, "-p", program], check=True, capture_output=True,
                             text=True).stdout
    found, dll = {}, None
    for line in listing.splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        entry = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\w+)$", line)
        if named:
            dll = found.setdefault(named.group(1), set())
        elif entry and dll is not None:
            dll.add(entry.group(1))
    return found


def called_in_sources(root, name):
    call = re.compile(r"\b%s\s*\(" % re.escape(name))
    return any(call.search(path.read_text())
               for folder in SOURCE_DIRS for path in (pathlib.Path(root) / folder).rglob("*.[ch]*"))


def main(objdump, list_path, source_root, program):
    if not pathlib.Path(program).exists():
        print("the handheld's program was not built: %s" % program)
        return SKIPPED
    listed = read_list(list_path)
    failures = []

    machine, subsystem, version, stack_reserve = headers(program)
    if machine != MACHINE_I386:
        failures.append("machine 0x%X, not i386 (0x%X)" % (machine, MACHINE_I386))
    if subsystem != SUBSYSTEM_WINDOWS_CE_GUI:
        failures.append("subsystem %d, not Windows CE GUI (%d)" % (subsystem, SUBSYSTEM_WINDOWS_CE_GUI))
    if version != (3, 0):
        failures.append("subsystem version %d.%02d, not 3.00" % version)
    if stack_reserve > MOST_STACK_RESERVE:
        failures.append("stack reserve %d bytes, above the handheld's %d" % (stack_reserve,
                                                                              MOST_STACK_RESERVE))
    failures += code_faults(objdump, program)

    found = imports(objdump, program)
    expected = {dll: set(listed.get(dll, {})) for dll in ("COREDLL.dll", "COMMCTRL.dll")}
    for name, fields in listed.get("inline", {}).items():
        if fields[3] != "-":
            expected["COREDLL.dll"].add(fields[3])
        if not called_in_sources(source_root, name):
            failures.append("listed under [inline] but no longer called: %s" % name)
    for dll in sorted(set(found) - set(expected)):
        failures.append("imports from %s, which the handheld's program must not" % dll)
    for dll, names in sorted(expected.items()):
        imported = found.get(dll, set())
        for name in sorted(imported - names):
            failures.append("not on the handheld's list: %s (imported from %s)" % (name, dll))
        for name in sorted(names - imported):
            failures.append("listed for %s but not imported: %s" % (dll, name))
    for name in sorted(listed.get("desktop", {})):
        if any(name in names for names in found.values()):
            failures.append("listed under [desktop] but imported by the handheld's program: %s" % name)
        if not called_in_sources(source_root, name):
            failures.append("listed under [desktop] but no longer called: %s" % name)

    for failure in failures:
        print(failure)
    print("machine 0x%X, subsystem %d version %d.%02d; %d imports from %s; %d problems"
          % (machine, subsystem, version[0], version[1], sum(map(len, found.values())),
             ", ".join(sorted(found)), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
