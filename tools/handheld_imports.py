#!/usr/bin/env python3
"""Imports for the handheld's program, made from the project's table of the handheld's calls.

Usage: handheld_imports.py NM DLLTOOL LIBGCC OUT_DIR TABLE OBJECT...       (x86)
       handheld_imports.py --arm NM LIBGCC OUT_DIR TABLE OBJECT...         (ARM)

Takes every symbol that the objects use and none of them defines. Each is a call into one of
the handheld's libraries, found by its bare name in that library's section of TABLE
(platform/handheld_api.txt), or a helper of the compiler's own library (LIBGCC), which the
link adds itself. Anything else is a call the table does not give the handheld: the build
stops naming it and the objects that make it. Nothing outside the project is read.

On x86 every handheld call is __cdecl: _NAME in the objects, exported as NAME. A name decorated
as __stdcall (_NAME@N) is imported by its bare name all the same, so that such a program is
still made and the handheld check (tests/unit/handheld_api_test.py) names what in it shows the
convention. Writes OUT_DIR/lib<library>.a for each library <LIBRARY>.dll of the table, by
dlltool -k from a .def of the symbols used (possibly none), importing from it by name.

On ARM an object's symbol is the bare name itself. Writes OUT_DIR/imports.s, an import stub
for each call (NAME, which jumps through its slot) and the slots (__imp_NAME, one word each,
each library's in a run ended by a zero word, the libraries in the table's order), and
OUT_DIR/imports.txt, one "<LIBRARY>.dll NAME" a line in the same order, from which the PE writer
(tools/write_wince_pe.py) makes the import directory over those slots.

On both, the program's start-up reads every slot (platform/wince/import_check.h) through
HANDHELD_IMPORTS, a table of each slot's address and the call's name ended by a null entry,
which the program uses and this tool defines: in OUT_DIR/import_table.s on x86, to be
assembled and linked beside the import libraries, and in OUT_DIR/imports.s on ARM.
"""
import pathlib
import re
import subprocess
import sys

from handheld_api import library_calls, read_table

STDCALL = re.compile(r"^_(?P<name>\w+)@(?P<bytes>\d+)$")
CDECL = re.compile(r"^_(?P<name>\w+)$")
IMPORT = "__imp_"
ARM_OPTION = "--arm"
IMPORT_TABLE = "HANDHELD_IMPORTS"

# An ARMv4 stub: pc reads 8 bytes ahead, so the first load takes the slot's address from the
# word after the second, which jumps to what the loader wrote into the slot. The return
# address the caller left in lr is untouched.
ARM_STUB = """    .global {name}
    .type {name}, %function
{name}:
    ldr ip, [pc]
    ldr pc, [ip]
    .word {slot}
"""
ARM_SLOT = """    .global {slot}
    .type {slot}, %object
{slot}:
    .word 0
"""


def symbols(nm, path):
    """(used, defined) symbol sets of an object or archive."""
    used, defined = set(), set()
    listing = subprocess.run([nm, "-P", path], check=True, capture_output=True, text=True)
    for line in listing.stdout.splitlines():
        fields = line.split()
        if len(fields) < 2 or line.endswith(":"):
            continue  # an archive member's heading
        (used if fields[1] == "U" else defined).add(fields[0])
    return used, defined


def resolve(nm, libgcc, table, objects, bare_name):
    """(library -> the names to import from it, messages naming the calls the table lacks)."""
    used, defined, users = set(), set(), {}
    for obj in objects:
        obj_used, obj_defined = symbols(nm, obj)
        used |= obj_used
        defined |= obj_defined
        for symbol in obj_used:
            users.setdefault(symbol, set()).add(pathlib.Path(obj).name)
    helpers = symbols(nm, libgcc)[1]
    libraries = library_calls(read_table(table))
    imported = {library: [] for library in libraries}

    missing = []
    for symbol in sorted(used - defined):
        called = symbol[len(IMPORT):] if symbol.startswith(IMPORT) else symbol
        name, imported_as = bare_name(called)
        if name == IMPORT_TABLE:
            continue  # written here, after the objects
        library = next((dll for dll, names in libraries.items() if name in names), None)
        if imported_as and library:
            if imported_as not in imported[library]:
                imported[library].append(imported_as)
        elif called not in helpers:
            missing.append("not in the table of the handheld's calls (%s): %s, called in %s"
                           % (table, name, ", ".join(sorted(users[symbol]))))
    return imported, missing


def x86_name(called):
    """(bare name, name for the import library), the latter None if not a C name."""
    match = STDCALL.match(called) or CDECL.match(called)
    return (match.group("name"), called[1:]) if match else (called, None)


def arm_name(called):
    return called, called


def write_import_libraries(dlltool, out, imported):
    for dll, names in imported.items():
        stem = pathlib.Path(dll).stem.lower()
        definition = out / (stem + ".def")
        definition.write_text("LIBRARY %s\nEXPORTS\n%s" % (dll, "".join(n + "\n" for n in names)))
        subprocess.run([dlltool, "-k", "--dllname", dll, "-d", str(definition),
                        "-l", str(out / ("lib%s.a" % stem))], check=True)


def write_arm_stubs(out, imported):
    stubs, slots, listing = [], [], []
    for dll, names in imported.items():
        for name in names:
            stubs.append(ARM_STUB.format(name=name, slot=IMPORT + name))
            slots.append(ARM_SLOT.format(slot=IMPORT + name))
            listing.append("%s %s\n" % (dll, name))
        if names:
            slots.append("    .word 0\n")
    (out / "imports.s").write_text(
        "    .arm\n    .section .text.import_stubs, \"ax\", %progbits\n    .balign 4\n"
        + "".join(stubs)
        + "    .section .data.import_slots, \"aw\", %progbits\n    .balign 4\n"
        + "".join(slots))
    (out / "imports.txt").write_text("".join(listing))


def import_table(imported, slot_prefix, symbol_prefix, section):
    """Assembler text of HANDHELD_IMPORTS: a row of two words for each call, its slot's address
    and its name's, then a row of zeros, then the names, as the program's wide strings."""
    rows, names = [], []
    for names_imported in imported.values():
        for imported_as in names_imported:
            label = "import_name_%d" % len(names)
            rows.append("    .long %s%s, %s\n" % (slot_prefix, imported_as, label))
            # A name decorated as __stdcall is shown bare, as the handheld exports it.
            names.append('%s:\n    .string16 "%s"\n' % (label, imported_as.split("@")[0]))
    table = symbol_prefix + IMPORT_TABLE
    return ("    .section %s\n    .balign 4\n    .global %s\n%s:\n" % (section, table, table)
            + "".join(rows) + "    .long 0, 0\n" + "".join(names))


def main(*args):
    arm = args[0] == ARM_OPTION
    if arm:
        nm, libgcc, out_dir, table, *objects = args[1:]
    else:
        nm, dlltool, libgcc, out_dir, table, *objects = args
    objects = [o for arg in objects for o in arg.split(";") if o]

    imported, missing = resolve(nm, libgcc, table, objects, arm_name if arm else x86_name)
    if missing:
        print("\n".join(missing), file=sys.stderr)
        return 1

    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    if arm:
        write_arm_stubs(out, imported)
        with open(out / "imports.s", "a") as stubs:
            stubs.write(import_table(imported, IMPORT, "", '.rodata.import_table, "a", %progbits'))
    else:
        write_import_libraries(dlltool, out, imported)
        (out / "import_table.s").write_text(
            import_table(imported, IMPORT + "_", "_", '.rdata, "dr"'))
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
