"""The handheld installer's reading of a cabinet's setup file (its member NAME.000).

read_setup_file(data) takes the file apart as the format's public description lays it out
("Windows CE installation cabinet format", cabextract's documentation), little-endian: the
100-byte header, the application's and the provider's names, the platforms left out, and the
sections STRINGS, DIRS, FILES and LINKS, each entry directly after the one
before and found by the length the one before gives. It returns a SetupFile, or raises
SetupRefused with one line naming what does not hold: a wrong signature, a length that is not
the file's, anything that lies outside the file, a name without its closing 0, a folder or
shortcut whose string ids do not end in 0 within their length or name a string there is not.
The registry's two sections are only counted (the header's "reghives" and "regkeys").

Written apart from the project's writer (tools/write_wince_setup.py), from the description
alone, so that it checks the writer rather than repeats it.
"""
import struct

SIGNATURE = b"MSCE"
# The header's fields, in order, as (name, struct format).
HEADER_FIELDS = (
    ("signature", "4s"), ("offset 4", "I"), ("length", "I"), ("offset 12", "I"),
    ("offset 16", "I"), ("processor", "I"), ("lowest major", "I"), ("lowest minor", "I"),
    ("highest major", "I"), ("highest minor", "I"), ("lowest build", "I"),
    ("highest build", "I"),
    ("strings", "H"), ("dirs", "H"), ("files", "H"), ("reghives", "H"), ("regkeys", "H"),
    ("links", "H"),
    ("strings at", "I"), ("dirs at", "I"), ("files at", "I"), ("reghives at", "I"),
    ("regkeys at", "I"), ("links at", "I"),
    ("app at", "H"), ("app length", "H"), ("provider at", "H"), ("provider length", "H"),
    ("unsupported at", "H"), ("unsupported length", "H"), ("offset 96", "H"),
    ("offset 98", "H"),
)
HEADER = struct.Struct("<" + "".join(kind for _, kind in HEADER_FIELDS))  # 100 bytes
ENTRY_HEAD = struct.Struct("<HH")  # a string's or a folder's id and length
FILE_HEAD = struct.Struct("<HHHIH")  # member, folder, member again, flags, length
LINK_HEAD = struct.Struct("<HHHHHH")  # id, unknown, base folder, target, kind, length


class SetupRefused(Exception):
    pass


class File:
    def __init__(self, member, folder, flags, name):
        self.member = member  # the cabinet's member with this number as its extension
        self.folder = folder  # an id of SetupFile.dirs
        self.flags = flags
        self.name = name


class Link:
    def __init__(self, link_id, base, target, kind, names):
        self.link_id = link_id
        self.base = base  # 0 the installation folder, n the folder %CEn%
        self.target = target  # a file's member, or a folder's id
        self.kind = kind  # 1 a file, 0 a folder
        self.names = names  # the shortcut's name, in parts


class SetupFile:
    def __init__(self, header, app, provider, unsupported, strings, dirs, files, links):
        self.header = header  # {field name: value}
        self.app = app
        self.provider = provider
        self.unsupported = unsupported  # the platforms left out
        self.strings = strings  # {id: text}
        self.dirs = dirs  # {id: [names]}
        self.files = files
        self.links = links


class Reader:
    def __init__(self, data):
        self.data = data

    def take(self, at, size, what):
        if at < 0 or at + size > len(self.data):
            raise SetupRefused("%s at %d (%d bytes) lies outside the file of %d bytes"
                               % (what, at, size, len(self.data)))
        return self.data[at:at + size]

    def unpack(self, layout, at, what):
        return layout.unpack(self.take(at, layout.size, what))

    def text(self, at, length, what):
        """A name of length bytes, its closing 0 among them, as text."""
        raw = self.take(at, length, what)
        if not raw.endswith(b"\0"):
            raise SetupRefused("%s at %d does not end in 0 within its %d bytes"
                               % (what, at, length))
        return raw.split(b"\0", 1)[0].decode("latin-1")

    def ids(self, at, length, what):
        """String ids closed by a 0 within length bytes."""
        if length % 2:
            raise SetupRefused("%s at %d: %d bytes is not a whole number of string ids"
                               % (what, at, length))
        ids = struct.unpack("<%dH" % (length // 2), self.take(at, length, what))
        if 0 not in ids:
            raise SetupRefused("%s at %d: its string ids do not end in 0 within its %d bytes"
                               % (what, at, length))
        return list(ids[:ids.index(0)])


def names_of(ids, strings, what):
    missing = [number for number in ids if number not in strings]
    if missing:
        raise SetupRefused("%s names string %d, which STRINGS lacks" % (what, missing[0]))
    return [strings[number] for number in ids]


def read_setup_file(data):
    reader = Reader(data)
    header = dict(zip((name for name, _ in HEADER_FIELDS),
                      reader.unpack(HEADER, 0, "the header")))
    if header["signature"] != SIGNATURE:
        raise SetupRefused("the signature is %r, not %r" % (header["signature"], SIGNATURE))
    if header["length"] != len(data):
        raise SetupRefused("the header gives the length %d; the file has %d bytes"
                           % (header["length"], len(data)))
    app = reader.text(header["app at"], header["app length"], "the application's name")
    provider = reader.text(header["provider at"], header["provider length"],
                           "the provider's name")
    unsupported = []
    if header["unsupported length"]:
        raw = reader.take(header["unsupported at"], header["unsupported length"],
                          "the platforms left out")
        if not raw.endswith(b"\0\0"):
            raise SetupRefused("the platforms left out do not end in an empty name")
        unsupported = [name.decode("latin-1") for name in raw[:-2].split(b"\0") if name]

    def entries(section, head):
        """Each entry's head and where its variable part starts."""
        at = header[section + " at"]
        for _ in range(header[section]):
            fields = reader.unpack(head, at, "an entry of %s" % section.upper())
            yield fields, at + head.size
            at += head.size + fields[-1]

    strings = {}
    for (number, length), at in entries("strings", ENTRY_HEAD):
        strings[number] = reader.text(at, length, "string %d" % number)
    dirs = {}
    for (number, length), at in entries("dirs", ENTRY_HEAD):
        what = "folder %d" % number
        dirs[number] = names_of(reader.ids(at, length, what), strings, what)
    files = []
    for (member, folder, _, flags, length), at in entries("files", FILE_HEAD):
        name = reader.text(at, length, "the name of file %d" % member)
        if folder not in dirs:
            raise SetupRefused("file %d goes to folder %d, which DIRS lacks" % (member, folder))
        files.append(File(member, folder, flags, name))
    links = []
    for (number, _, base, target, kind, length), at in entries("links", LINK_HEAD):
        what = "shortcut %d" % number
        links.append(Link(number, base, target, kind,
                          names_of(reader.ids(at, length, what), strings, what)))
    return SetupFile(header, app, provider, unsupported, strings, dirs, files, links)
