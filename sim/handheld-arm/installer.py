"""The handheld's installer (wceload) and its shortcuts, on a folder that stands for the
handheld's storage (the handheld's path \\A\\B is the folder's A/B).

install(cabinet, storage) does what the installer does with a cabinet tapped in File
Explorer: it unpacks the members (with cabextract, each named by its three-digit number),
reads the setup file, member .000 (setup_file.py), refuses a cabinet for another processor
or a later Windows CE, makes each folder, copies each member under its installed name, and
writes each shortcut as the handheld writes one: a text file "N#COMMAND", N the number of
characters after the "#", the command the target's path in double quotes. It returns what it
installed and the name that Remove Programs lists ("PROVIDER APP"). What the stand-in does not
model (registry entries, shortcuts in the installation folder) it refuses by name, as it
refuses a cabinet the handheld would not take: InstallRefused, one line.

shortcut_target(storage, path) is the shell's reading of a shortcut: the program it starts.
"""
import os
import shutil
import subprocess
import tempfile

from setup_file import read_setup_file

HANDHELD_PROCESSOR = 2577  # SYSTEM_INFO's dwProcessorType of the StrongARM
ANY_PROCESSOR = 0
HANDHELD_VERSION = (3, 0)
SETUP_MEMBER = 0
LINK_TO_FILE = 1
SHORTCUT_EXTENSION = ".lnk"
# The standard folders %CEn% that a Pocket PC on Windows CE 3.0 has ("Windows CE installation
# cabinet format", appendix B).
STANDARD_FOLDERS = {
    1: "\\Program Files", 2: "\\Windows", 4: "\\Windows\\StartUp", 5: "\\My Documents",
    11: "\\Windows\\Start Menu\\Programs", 15: "\\Windows\\Fonts", 17: "\\Windows\\Start Menu",
}


class InstallRefused(Exception):
    pass


class Installed:
    def __init__(self, listing, files, shortcuts):
        self.listing = listing  # what Remove Programs lists
        self.files = files  # the installed files' paths on the handheld
        self.shortcuts = shortcuts  # the shortcuts' paths on the handheld


def host_path(storage, path):
    return os.path.join(storage, *path.strip("\\").split("\\"))


def unpacked_members(cabinet, into):
    """The cabinet's members, unpacked into the folder, by their number."""
    result = subprocess.run(["cabextract", "-q", "-d", into, cabinet], capture_output=True,
                            text=True, check=False)
    if result.returncode:
        said = (result.stderr.strip().splitlines() or ["cabextract failed"])[-1]
        raise InstallRefused("%s is not a cabinet the installer can open: %s" % (cabinet, said))
    members = {}
    for name in sorted(os.listdir(into)):
        extension = name.rpartition(".")[2]
        if "." not in name or len(extension) != 3 or not extension.isdigit():
            raise InstallRefused("the cabinet's member %s is not named NAME.NNN" % name)
        if int(extension) in members:
            raise InstallRefused("the cabinet has two members numbered %s" % extension)
        members[int(extension)] = os.path.join(into, name)
    return members


def folder_path(number, names):
    first = names[0] if names else ""
    standard = first[3:-1] if first.startswith("%CE") and first.endswith("%") else ""
    if not standard.isdigit() or int(standard) not in STANDARD_FOLDERS:
        raise InstallRefused("folder %d starts at %r, not at one of the handheld's standard "
                             "folders %%CEn%%" % (number, first))
    return "\\".join([STANDARD_FOLDERS[int(standard)]] + names[1:])


def check_handheld(setup):
    processor = setup.header["processor"]
    if processor not in (ANY_PROCESSOR, HANDHELD_PROCESSOR):
        raise InstallRefused("the cabinet is for processor %d, not the handheld's StrongARM (%d)"
                             % (processor, HANDHELD_PROCESSOR))
    lowest = (setup.header["lowest major"], setup.header["lowest minor"])
    if lowest > HANDHELD_VERSION:
        raise InstallRefused("the cabinet needs Windows CE %d.%d; the handheld has %d.%d"
                             % (lowest + HANDHELD_VERSION))
    entries = setup.header["reghives"] + setup.header["regkeys"]
    if entries:
        raise InstallRefused("the cabinet writes the registry (%d entries), which this "
                             "stand-in does not model" % entries)


def write_shortcut(storage, path, target):
    command = '"%s"' % target
    os.makedirs(os.path.dirname(host_path(storage, path)), exist_ok=True)
    with open(host_path(storage, path), "wb") as shortcut:
        shortcut.write(("%d#%s" % (len(command), command)).encode("latin-1"))


def shortcut_target(storage, path):
    with open(host_path(storage, path), "rb") as shortcut:
        text = shortcut.read().decode("latin-1")
    count, sign, command = text.partition("#")
    if not sign or not count.isdigit() or int(count) != len(command):
        raise InstallRefused("the shortcut %s reads %r, not N#COMMAND with N the command's "
                             "length" % (path, text))
    if command.startswith('"'):
        if command.find('"', 1) < 0:
            raise InstallRefused("the shortcut %s has no closing quote: %r" % (path, text))
        return command[1:command.find('"', 1)]
    return command.split(" ")[0]


def install(cabinet, storage):
    with tempfile.TemporaryDirectory() as unpacked:
        members = unpacked_members(cabinet, unpacked)
        if SETUP_MEMBER not in members:
            raise InstallRefused("the cabinet has no setup file (a member NAME.000)")
        with open(members[SETUP_MEMBER], "rb") as setup_member:
            setup = read_setup_file(setup_member.read())
        check_handheld(setup)
        folders = {number: folder_path(number, names) for number, names in setup.dirs.items()}
        files = {}
        for entry in setup.files:
            if entry.member not in members:
                raise InstallRefused("the cabinet lacks member %03d, file %s"
                                     % (entry.member, entry.name))
            folder = folders[entry.folder]
            os.makedirs(host_path(storage, folder), exist_ok=True)
            files[entry.member] = folder + "\\" + entry.name
            shutil.copyfile(members[entry.member], host_path(storage, files[entry.member]))
    shortcuts = []
    for link in setup.links:
        target = (files if link.kind == LINK_TO_FILE else folders).get(link.target)
        if target is None:
            raise InstallRefused("shortcut %d is to %s %d, which the setup file lacks"
                                 % (link.link_id, "file" if link.kind == LINK_TO_FILE
                                    else "folder", link.target))
        if link.base not in STANDARD_FOLDERS:
            raise InstallRefused("shortcut %d is to go to %s, which this stand-in does not "
                                 "model" % (link.link_id, "the installation folder"
                                            if link.base == 0 else "%%CE%d%%" % link.base))
        name = "\\".join(link.names)
        if not name.lower().endswith(SHORTCUT_EXTENSION):
            name += SHORTCUT_EXTENSION
        path = STANDARD_FOLDERS[link.base] + "\\" + name
        write_shortcut(storage, path, target)
        shortcuts.append(path)
    return Installed("%s %s" % (setup.provider, setup.app), list(files.values()), shortcuts)
