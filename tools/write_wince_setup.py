#!/usr/bin/env python3
"""The setup file of the handheld's installer cabinet: the member NAME.000 that tells the
Pocket PC's installer (wceload) what to install where.

Usage: write_wince_setup.py --app APP --provider PROVIDER --folder FOLDER --program PROGRAM
           --shortcut SHORTCUT OUT

OUT says: install the cabinet's member .001 as \\Program Files\\FOLDER\\PROGRAM (%CE1%), and
put a shortcut to it, SHORTCUT.lnk, in \\Windows\\Start Menu\\Programs (%CE11%); for a
StrongARM (SYSTEM_INFO's dwProcessorType 2577, PROCESSOR_STRONGARM, which the handheld's
kernel reports for a system built for ARMv4, on an XScale too: "CEProcessorType", Windows CE
reference) with Windows CE 3.0 or later. Remove Programs lists it as "PROVIDER APP".

Its layout is the one public description of the format gives ("Windows CE installation
cabinet format", cabextract's documentation): a 100-byte header, then the application's and
the provider's names, then the sections STRINGS, DIRS, FILES and LINKS, each entry directly
after the one before, all little-endian. Where that description leaves a choice open:
  - strings are not padded: the description's examples, taken from real cabinets, have
    lengths 9 and 10;
  - a shortcut's length counts its closing 0, as a directory's does in the description's
    example, so that the length is the number of bytes that follow, whichever way a reader
    finds the next entry;
  - the shortcut's name ends ".lnk": the handheld's shortcuts are files of that extension,
    and cabwiz's own description ("CEShortcuts") only says that its script need not give it.
    Should the installer add the extension itself, the worst that follows is a Start menu
    entry read "SHORTCUT.lnk"; without it, the shortcut would not be one.
The program is installed over any copy already there, whatever the dates: every package
gives its members the same fixed date, which says nothing of which copy is newer.
"""
import argparse
import struct
import sys

SIGNATURE = b"MSCE"
HEADER = struct.Struct("<4sIIIIIIIIIII6H6I8H")  # 100 bytes
HEADER_ONE = 1  # the description's "usually 1" at offset 16, as every cabinet has it
PROCESSOR_STRONGARM = 2577
LOWEST_VERSION = (3, 0)  # Windows CE 3.0: Pocket PC 2000 and 2002
PROGRAM_FILES = "%CE1%"  # \Program Files
START_MENU_PROGRAMS = 11  # %CE11%: \Windows\Start Menu\Programs on a Pocket PC
SHORTCUT_EXTENSION = ".lnk"
PROGRAM_MEMBER = 1  # the cabinet's member NAME.001
FOLDER_ID = 1
SHORTCUT_ID = 1
SHORTCUT_TO_FILE = 1
ALWAYS_OVERWRITE = 0x40000000  # install over a copy already there, whatever the dates
ENTRY_HEAD = struct.Struct("<HH")  # id, length
FILE_HEAD = struct.Struct("<HHHIH")  # member, folder, member again, flags, name's length
LINK_HEAD = struct.Struct("<HHHHHH")  # id, 0, base folder, target, kind, length
LARGEST_OFFSET = 0xFFFF  # the names' offsets are 16-bit


class Refused(Exception):
    """A name the setup file cannot carry."""


def text(value, what):
    """value as the setup file's 8-bit characters, closed by a 0."""
    if not value or not value.isascii() or not value.isprintable():
        raise Refused("%s %r: not a name of printable ASCII characters" % (what, value))
    if "\\" in value:
        raise Refused("%s %r: a name, not a path" % (what, value))
    return value.encode("ascii") + b"\0"


def string_ids(ids):
    """A folder's or a shortcut's names, as string ids closed by a 0."""
    return struct.pack("<%dH" % (len(ids) + 1), *ids, 0)


def setup_file(app, provider, folder, program, shortcut):
    strings = [PROGRAM_FILES, folder, shortcut + SHORTCUT_EXTENSION]
    program_files_id, folder_name_id, shortcut_name_id = 1, 2, 3
    string_section = b"".join(
        ENTRY_HEAD.pack(number, len(encoded)) + encoded
        for number, encoded in enumerate((text(s, "the name") for s in strings), start=1))
    folder_spec = string_ids([program_files_id, folder_name_id])
    dir_section = ENTRY_HEAD.pack(FOLDER_ID, len(folder_spec)) + folder_spec
    program_name = text(program, "the program")
    file_section = FILE_HEAD.pack(PROGRAM_MEMBER, FOLDER_ID, PROGRAM_MEMBER, ALWAYS_OVERWRITE,
                                  len(program_name)) + program_name
    shortcut_spec = string_ids([shortcut_name_id])
    link_section = LINK_HEAD.pack(SHORTCUT_ID, 0, START_MENU_PROGRAMS, PROGRAM_MEMBER,
                                  SHORTCUT_TO_FILE, len(shortcut_spec)) + shortcut_spec

    app_name, provider_name = text(app, "the application"), text(provider, "the provider")
    app_at = HEADER.size
    provider_at = app_at + len(app_name)
    strings_at = provider_at + len(provider_name)
    dirs_at = strings_at + len(string_section)
    files_at = dirs_at + len(dir_section)
    links_at = files_at + len(file_section)
    length = links_at + len(link_section)
    if provider_at > LARGEST_OFFSET:
        raise Refused("the names are too long for the setup file")
    header = HEADER.pack(
        SIGNATURE, 0, length, 0, HEADER_ONE, PROCESSOR_STRONGARM, *LOWEST_VERSION,
        0, 0,  # no highest version
        0, 0,  # no lowest or highest build
        len(strings), 1, 1, 0, 0, 1,  # STRINGS, DIRS, FILES, REGHIVES, REGKEYS, LINKS
        strings_at, dirs_at, files_at, 0, 0, links_at,  # no registry sections
        app_at, len(app_name), provider_at, len(provider_name),
        0, 0,  # no platforms left out
        0, 0)
    return (header + app_name + provider_name + string_section + dir_section + file_section
            + link_section)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--app", required=True)
    parser.add_argument("--provider", required=True)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--shortcut", required=True)
    parser.add_argument("out")
    options = parser.parse_args()
    try:
        data = setup_file(options.app, options.provider, options.folder, options.program,
                          options.shortcut)
    except Refused as refusal:
        print("write_wince_setup.py: %s" % refusal, file=sys.stderr)
        return 1
    with open(options.out, "wb") as out:
        out.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
