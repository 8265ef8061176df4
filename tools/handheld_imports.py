#!/usr/bin/env python3
"""Import libraries for the handheld's program, made from its system libraries' export lists.

Usage: handheld_imports.py NM DLLTOOL LIBGCC OUT_DIR EXPORT_LIST... -- OBJECT...

Takes every symbol that the objects use and none of them defines. Each is a call into one of
the handheld's libraries, found by its bare name in that library's export list (every handheld
call is __cdecl: _NAME in the objects, exported as NAME), or a helper of the compiler's own
library (LIBGCC), which the link adds itself. Anything else is a call the handheld does not
have: the build stops naming it and the objects that make it. A name decorated as __stdcall
(_NAME@N) is imported by its bare name all the same, so that such a program is still made and
the handheld check (tests/unit/handheld_api_test.py) names what in it shows the convention.

Writes OUT_DIR/lib<list>.a for each export list <list>.def, by dlltool -k from a .def of the
symbols used (possibly none), importing from <LIST>.dll by name.
"""
import pathlib
import re
import subprocess
import sys

STDCALL = re.compile(r"^_(?P<name>\w+)@(?P<bytes>\d+)$")
CDECL = re.compile(r"^_(?P<name>\w+)$")
IMPORT = "__imp_"


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


def exports(path):
    """The names an export list gives, after its EXPORTS line."""
    names, listing = set(), False
    for line in pathlib.Path(path).read_text(errors="replace").splitlines():
        line = line.split(";", 1)[0].strip()
        if line == "EXPORTS":
            listing = True
        elif listing and line:
            names.add(line.split()[0].split("=", 1)[0])
    return names


def main(nm, dlltool, libgcc, out_dir, *rest):
    split = rest.index("--")
    lists, objects = rest[:split], [o for arg in rest[split + 1:] for o in arg.split(";") if o]

    used, defined, users = set(), set(), {}
    for obj in objects:
        obj_used, obj_defined = symbols(nm, obj)
        used |= obj_used
        defined |= obj_defined
        for symbol in obj_used:
            users.setdefault(symbol, set()).add(pathlib.Path(obj).name)
    helpers = symbols(nm, libgcc)[1]
    libraries = [(pathlib.Path(path).stem, exports(path)) for path in lists]
    imported = {stem: [] for stem, _ in libraries}

    missing = []
    for symbol in sorted(used - defined):
        called = symbol[len(IMPORT):] if symbol.startswith(IMPORT) else symbol
        match = STDCALL.match(called) or CDECL.match(called)
        name = match.group("name") if match else called
        library = next((stem for stem, names in libraries if name in names), None)
        if match and library:
            if called[1:] not in imported[library]:
                imported[library].append(called[1:])
        elif called not in helpers:
            missing.append("the handheld does not export %s (called in %s)"
                           % (name, ", ".join(sorted(users[symbol]))))
    if missing:
        print("\n".join(missing), file=sys.stderr)
        return 1

    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    for stem, names in imported.items():
        dll = stem.upper() + ".dll"
        definition = out / (stem + ".def")
        definition.write_text("LIBRARY %s\nEXPORTS\n%s" % (dll, "".join(n + "\n" for n in names)))
        subprocess.run([dlltool, "-k", "--dllname", dll, "-d", str(definition),
                        "-l", str(out / ("lib%s.a" % stem))], check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
