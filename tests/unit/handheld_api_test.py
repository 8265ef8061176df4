#!/usr/bin/env python3
"""The handheld's program is what it claims to be, and calls only what the handheld's list says;
the list gives the handheld no call that its libraries do not export.

Usage: handheld_api_test.py OBJDUMP LIST SOURCE_ROOT PROGRAM             (x86)
       handheld_api_test.py --arm OBJDUMP LIST SOURCE_ROOT PROGRAM       (ARM)
       handheld_api_test.py --exports LIST SOURCE_ROOT                   (the export lists)

Fails unless PROGRAM, a handheld build's vandrel.exe, is an executable for its processor and
the Windows CE GUI subsystem, version 3.00, with a stack reserve of at most 64 KB, importing
from COREDLL.dll and COMMCTRL.dll only; unless its imports and LIST (platform/handheld_api.txt,
whose header gives its rules) agree both ways, but for the memory calls that a compiler may
build into the code instead; and unless its code is what the handheld runs.
On x86: __cdecl throughout (no name decorated as __stdcall, no procedure that pops its own
arguments) and no instruction newer than the 486.
On ARM, read from the file with python3-pefile and from the linked image beside it
(vandrel.elf, which the file must hold byte for byte): no warning of pefile's, every import by
name, an icon group with the icon sizes the handheld loads, a base relocation for exactly the
words the link relocated as absolute addresses, no static constructors, and only ARMv4
instructions, none of Thumb and no coprocessor's.
Exits 77, which CTest counts as skipped, when the handheld's program was not built.

With --exports, fails unless every call of LIST's library sections is in that library's export
list, from the handheld's SDK: the list is what the programs import from, and the export lists
are a second opinion on it, kept outside the project (where VANDREL_CE_SDK points, or
../shared/ce-sdk beside SOURCE_ROOT). Where they are not found it says so in one line and
exits 77, or fails with CI set in the environment, where they must be.
"""
import os
import pathlib
import re
import struct
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
from handheld_api import LIBRARIES, library_calls, read_table  # noqa: E402

SKIPPED = 77
ARM_OPTION = "--arm"
EXPORTS_OPTION = "--exports"
# Where the handheld's SDK keeps a library's export list, one name a line after EXPORTS.
EXPORT_LIST = "w32api/libce/%s.def"
SDK_VARIABLE = "VANDREL_CE_SDK"
SDK_BESIDE_PROJECT = "../shared/ce-sdk"
MACHINE_I386 = 0x14C
MACHINE_ARM = 0x1C0
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
# What the StrongARM runs: ARMv4's instructions without the coprocessors' (objdump's names,
# before any condition or flag-setting s). Anything else, Thumb, bx and blx, ARMv5's clz,
# ldrd, pld and saturating or halfword multiplies, and every later addition, is refused.
ARMV4 = {
    "and", "eor", "sub", "rsb", "add", "adc", "sbc", "rsc", "tst", "teq", "cmp", "cmn", "orr",
    "mov", "bic", "mvn", "lsl", "lsr", "asr", "ror", "rrx", "mul", "mla", "umull", "umlal",
    "smull", "smlal", "ldr", "str", "ldrb", "strb", "ldrh", "strh", "ldrsb", "ldrsh", "ldrt",
    "strt", "ldrbt", "strbt", "ldm", "stm", "ldmia", "ldmib", "ldmda", "ldmdb", "stmia",
    "stmib", "stmda", "stmdb", "push", "pop", "b", "bl", "swp", "swpb", "mrs", "msr", "svc",
}
ARM_NOP = "e1a00000"  # mov r0, r0, which objdump shows as nop; ARMv6K's nop is another word
CONDITIONS = ("eq", "ne", "cs", "hs", "cc", "lo", "mi", "pl", "vs", "vc", "hi", "ls", "ge",
              "lt", "gt", "le", "al")
# What GCC calls by itself, to copy or clear memory, even in code that never names them
# (GCC manual, "Language Standards Supported by GCC": a freestanding environment provides them),
# or builds into the code instead of a call the sources make.
COMPILER_CALLED = {"memcpy", "memmove", "memset", "memcmp"}
CONSTRUCTOR_SECTIONS = (".init_array", ".preinit_array", ".ctors")
CONSTRUCTOR_SYMBOL = "_GLOBAL__sub_I_"
SHF_ALLOC = 2
# The handheld's LoadIcon loads only an icon of the system's icon size (LoadIcon, Windows CE
# reference): the window's icon group (res/vandrel.rc) must hold 32 x 32, and 16 x 16 for
# the small icon.
ICON_GROUP = 101
ICON_SIZES = ((32, 32), (16, 16))
GROUP_ICON_ENTRY = struct.Struct("<BBBBHHIH")  # after the 6-byte header of the group

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


def header_faults(program, processor, expected_machine):
    machine, subsystem, version, stack_reserve = headers(program)
    failures = []
    if machine != expected_machine:
        failures.append("machine 0x%X, not %s (0x%X)" % (machine, processor, expected_machine))
    if subsystem != SUBSYSTEM_WINDOWS_CE_GUI:
        failures.append("subsystem %d, not Windows CE GUI (%d)" % (subsystem, SUBSYSTEM_WINDOWS_CE_GUI))
    if version != (3, 0):
        failures.append("subsystem version %d.%02d, not 3.00" % version)
    if stack_reserve > MOST_STACK_RESERVE:
        failures.append("stack reserve %d bytes, above the handheld's %d" % (stack_reserve,
                                                                              MOST_STACK_RESERVE))
    return failures


def import_faults(found, listed, source_root):
    """Where the imports and the list disagree."""
    failures = []
    expected = {dll: set(names) for dll, names in library_calls(listed).items()}
    for name, fields in listed.get("inline", {}).items():
        if fields[3] != "-" and fields[3] not in expected["COREDLL.dll"]:
            failures.append("%s's import is not listed for COREDLL.dll: %s" % (name, fields[3]))
        if not called_in_sources(source_root, name):
            failures.append("listed under [inline] but no longer called: %s" % name)
    for dll in sorted(set(found) - set(expected)):
        failures.append("imports from %s, which the handheld's program must not" % dll)
    for dll, names in sorted(expected.items()):
        imported = found.get(dll, set())
        for name in sorted(imported - names):
            failures.append("not on the handheld's list: %s (imported from %s)" % (name, dll))
        for name in sorted(names - imported - COMPILER_CALLED):
            failures.append("listed for %s but not imported: %s" % (dll, name))
    for name in sorted(listed.get("desktop", {})):
        if any(name in names for names in found.values()):
            failures.append("listed under [desktop] but imported by the handheld's program: %s" % name)
        if not called_in_sources(source_root, name):
            failures.append("listed under [desktop] but no longer called: %s" % name)
    return failures


def arm_instruction_faults(objdump, image):
    """What in the linked image's code the StrongARM would not run, each naming its procedure."""
    listing = subprocess.run([objdump, "-d", "-C", image], check=True, capture_output=True,
                             text=True).stdout
    faults, procedure, thumb = [], "?", set()
    for line in listing.splitlines():
        heading = re.match(r"[0-9a-f]+ <(.+)>:$", line)
        fields = line.split("\t")
        if heading:
            procedure = heading.group(1)
        elif len(fields) >= 3 and re.match(r"\s*[0-9a-f]+:$", fields[0]):
            address, raw, mnemonic = fields[0].strip(" :"), fields[1].strip(), fields[2].strip()
            operands = fields[3] if len(fields) > 3 else ""
            if mnemonic.startswith("."):
                continue  # data in the code: literal pools, the import stubs' slot addresses
            if not re.fullmatch(r"[0-9a-f]{8}", raw):
                if procedure not in thumb:
                    thumb.add(procedure)
                    faults.append("%s is Thumb code (from 0x%s)" % (procedure, address))
            elif not (ARMV4 & set(base_forms(mnemonic)) or (mnemonic == "nop" and raw == ARM_NOP)):
                faults.append("%s has %s %s at 0x%s, which the StrongARM lacks"
                              % (procedure, mnemonic, operands, address))
    return faults


def base_forms(mnemonic):
    """The mnemonic, and what it is without a condition and a flag-setting s."""
    forms = [mnemonic]
    for cond in CONDITIONS:
        if mnemonic.endswith(cond):
            forms.append(mnemonic[:-len(cond)])
    forms += [form[:-1] for form in list(forms) if form.endswith("s")]
    return forms


def icon_faults(pe):
    """Which of the icon sizes the handheld loads the window's icon group lacks."""
    import pefile
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    groups = [entry for kind in (resources.entries if resources else [])
              if kind.id == pefile.RESOURCE_TYPE["RT_GROUP_ICON"]
              for entry in kind.directory.entries if entry.id == ICON_GROUP]
    if not groups:
        return ["no icon group %d" % ICON_GROUP]
    data = groups[0].directory.entries[0].data.struct
    held = pe.get_data(data.OffsetToData, data.Size)
    sizes = {GROUP_ICON_ENTRY.unpack_from(held, 6 + GROUP_ICON_ENTRY.size * i)[:2]
             for i in range(struct.unpack_from("<H", held, 4)[0])}
    return ["icon group %d has no %d x %d icon, which the handheld loads" % (ICON_GROUP, w, h)
            for w, h in ICON_SIZES if (w, h) not in sizes]


def arm_faults(objdump, listed, source_root, program):
    """What the ARM program's file and its linked image show against the handheld's rules."""
    # Debian's modules, which only the ARM check needs, and only Debian's interpreter has.
    import pefile
    from elftools.elf.elffile import ELFFile
    from elftools.elf.enums import ENUM_RELOC_TYPE_ARM

    pe = pefile.PE(program)
    failures = ["pefile: %s" % warning for warning in pe.get_warnings()]
    found = {}
    for library in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = found.setdefault(library.dll.decode(), set())
        for entry in library.imports:
            if entry.name is None:
                failures.append("%s imported by ordinal %d" % (library.dll.decode(), entry.ordinal))
            else:
                names.add(entry.name.decode())
    failures += import_faults(found, listed, source_root)
    failures += icon_faults(pe)
    slots = {entry.address for library in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
             for entry in library.imports}

    base = pe.OPTIONAL_HEADER.ImageBase
    image = str(pathlib.Path(program).with_suffix(".elf"))
    with open(image, "rb") as stream:
        elf = ELFFile(stream)
        for section in elf.iter_sections():
            if section.name in CONSTRUCTOR_SECTIONS and section["sh_size"]:
                failures.append("static constructors: section %s" % section.name)
            if section["sh_type"] != "SHT_PROGBITS" or not section["sh_flags"] & SHF_ALLOC:
                continue
            held = pe.get_data(section["sh_addr"] - base, section["sh_size"])
            linked = bytearray(section.data())
            for slot in slots:  # what the loader overwrites, written by the PE writer
                at = slot - section["sh_addr"]
                if 0 <= at < len(linked):
                    linked[at:at + 4] = held[at:at + 4]
            if held != linked:
                failures.append("%s differs from %s's %s: the checks below read another program"
                                % (program, image, section.name))
        symbols = elf.get_section_by_name(".symtab").iter_symbols()
        failures += ["static constructor %s" % symbol.name for symbol in symbols
                     if symbol.name.startswith(CONSTRUCTOR_SYMBOL)]
        absolute = {relocation["r_offset"] for section in elf.iter_sections()
                    if section["sh_type"] == "SHT_REL"
                    and elf.get_section(section["sh_info"])["sh_flags"] & SHF_ALLOC
                    for relocation in section.iter_relocations()
                    if relocation["r_info_type"] == ENUM_RELOC_TYPE_ARM["R_ARM_ABS32"]}
    highlow = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]
    based = {base + entry.rva for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
             for entry in block.entries if entry.type == highlow}
    failures += ["absolute address at 0x%X without a base relocation" % address
                 for address in sorted(absolute - based)]
    failures += ["base relocation at 0x%X, where the link left no absolute address" % address
                 for address in sorted(based - absolute)]
    return failures + arm_instruction_faults(objdump, image), found


def exported(path):
    """The names an export list gives, after its EXPORTS line."""
    names, listing = set(), False
    for line in pathlib.Path(path).read_text(errors="replace").splitlines():
        line = line.split(";", 1)[0].strip()
        if line == "EXPORTS":
            listing = True
        elif listing and line:
            names.add(line.split()[0].split("=", 1)[0])
    return names


def cross_check(list_path, source_root):
    """Every call the list gives a library of the handheld's is in that library's export list."""
    sdk = pathlib.Path(os.environ.get(SDK_VARIABLE)
                       or pathlib.Path(source_root) / SDK_BESIDE_PROJECT).resolve()
    lists = {dll: sdk / (EXPORT_LIST % pathlib.Path(dll).stem.lower()) for dll in LIBRARIES}
    if not all(path.is_file() for path in lists.values()):
        print("the handheld's list of calls is not checked against its export lists: none at %s "
              "(set %s to them)" % (sdk, SDK_VARIABLE))
        return 1 if os.environ.get("CI") else SKIPPED
    calls = library_calls(read_table(list_path))
    failures = []
    for dll, names in calls.items():
        exports = exported(lists[dll])
        failures += ["listed for %s but not exported by it: %s" % (dll, name)
                     for name in names if name not in exports]
    for failure in failures:
        print(failure)
    print("%d calls checked against the export lists in %s; %d problems"
          % (sum(map(len, calls.values())), sdk, len(failures)))
    return 1 if failures else 0


def main(*args):
    if args[0] == EXPORTS_OPTION:
        return cross_check(*args[1:])
    arm = args[0] == ARM_OPTION
    objdump, list_path, source_root, program = args[1:] if arm else args
    if not pathlib.Path(program).exists():
        print("the handheld's program was not built: %s" % program)
        return SKIPPED
    listed = read_table(list_path)

    failures = header_faults(program, *(("ARM", MACHINE_ARM) if arm else ("i386", MACHINE_I386)))
    if arm:
        faults, found = arm_faults(objdump, listed, source_root, program)
        failures += faults
    else:
        failures += code_faults(objdump, program)
        found = imports(objdump, program)
        failures += import_faults(found, listed, source_root)

    for failure in failures:
        print(failure)
    machine, subsystem, version, _ = headers(program)
    print("machine 0x%X, subsystem %d version %d.%02d; %d imports from %s; %d problems"
          % (machine, subsystem, version[0], version[1], sum(map(len, found.values())),
             ", ".join(sorted(found)), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
