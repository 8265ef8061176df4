#!/usr/bin/env python3
"""Every function the program takes from outside its own code is on the handheld's list.

Usage: handheld_api_test.py NM LIST SOURCE_ROOT OBJECT... (an argument may be a ;-list)

Reads the symbols of the program's object files (and archives of them) with NM, takes those
that the files use and none of them defines, and compares them with LIST (the file's header
gives its rules). Fails naming every such function that LIST lacks, and every line of LIST
that the program no longer calls. Functions listed as built inline leave no symbol; they are
looked for as calls in the program's sources under SOURCE_ROOT instead.
"""
import pathlib
import re
import subprocess
import sys

IMPORT_PREFIX = "__imp_"
SOURCE_DIRS = ("engine", "ui", "platform/win32")


def read_list(path):
    """Section name -> the names listed under it."""
    sections, section = {}, None
    for line in pathlib.Path(path).read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            section = line.strip("[]")
            sections[section] = set()
        else:
            sections[section].add(line.split("|", 1)[0].strip())
    return sections


def outside_symbols(nm, objects):
    """Symbol -> the object files that use it, for the symbols that no object defines."""
    used, defined = {}, set()
    for obj in objects:
        listing = subprocess.run([nm, "-P", obj], check=True, capture_output=True, text=True)
        for line in listing.stdout.splitlines():
            fields = line.split()
            if len(fields) < 2 or line.endswith(":"):
                continue  # an archive member's heading
            name, kind = fields[0], fields[1]
            if kind == "U":
                used.setdefault(name, set()).add(pathlib.Path(obj).name)
            else:
                defined.add(name)
    return {name: files for name, files in used.items() if name not in defined}


def called_in_sources(root, name):
    call = re.compile(r"\b%s\s*\(" % re.escape(name))
    return any(call.search(path.read_text())
               for folder in SOURCE_DIRS for path in (pathlib.Path(root) / folder).rglob("*.[ch]*"))


def called_by_handheld_build(root, name):
    """A call of the system's own NAME (::NAME(), not the seam's os::NAME()."""
    call = re.compile(r"(?<![\w:])::%s\s*\(" % re.escape(name))
    return any(call.search(path.read_text())
               for path in (pathlib.Path(root) / "platform/win32").rglob("*.[ch]*"))


def main(nm, list_path, source_root, *objects):
    listed = read_list(list_path)
    expected = {IMPORT_PREFIX + name: ("system", name) for name in listed.get("system", ())}
    for section in ("C library", "compiler"):
        expected.update({name: (section, name) for name in listed.get(section, ())})

    failures = []
    found = outside_symbols(nm, [obj for arg in objects for obj in arg.split(";") if obj])
    for symbol, files in sorted(found.items()):
        if symbol not in expected:
            name = symbol[len(IMPORT_PREFIX):] if symbol.startswith(IMPORT_PREFIX) else symbol
            failures.append("not on the handheld's list: %s (%s, in %s)"
                            % (name, symbol, ", ".join(sorted(files))))
    for symbol, (section, name) in sorted(expected.items()):
        if symbol not in found:
            failures.append("listed under [%s] but no longer called: %s" % (section, name))
    for name in sorted(listed.get("inline", ())):
        if not called_in_sources(source_root, name):
            failures.append("listed under [inline] but no longer called: %s" % name)

    for name in sorted(listed.get("handheld", ())):
        if not called_by_handheld_build(source_root, name):
            failures.append("listed under [handheld] but no longer called: %s" % name)

    for failure in failures:
        print(failure)
    print("%d functions from outside the program, %d built inline; %d problems"
          % (len(found), len(listed.get("inline", ())), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
