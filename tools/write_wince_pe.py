#!/usr/bin/env python3
"""The handheld's ARM program as a Windows CE 3.0 PE file, from the linked ELF image.

Usage: write_wince_pe.py ELF IMPORTS RES OUT

ELF is the program linked by arm-none-eabi-ld -q at the addresses of cmake/wince-arm.ld, so
that it keeps its relocations; IMPORTS is the list of calls that tools/handheld_imports.py made
stubs and slots for ("<LIBRARY>.dll NAME" a line, each library's slots one run ending in a
zero word); RES is the program's resources as windres -O res writes them. OUT is written as an
ARM (0x01C0) image for the Windows CE GUI subsystem, version 3.00, at 0x10000, with:
  - the ELF's .text, .rdata, .data and .bss, each a PE section at the same address;
  - an import directory importing by name over the slots, which the loader fills in;
  - a base relocation for every word the link relocated as an absolute address (R_ARM_ABS32);
  - a resource directory of what RES holds;
its headers and tables as the "PE Format" page of Microsoft's documentation lays them out.

What it does not handle, and refuses by name: any other allocated section (static
constructors, unwind tables, thread-local data), a section off its own page or out of place,
any relocation but R_ARM_ABS32 and the resolved branches and marks that need none (R_ARM_CALL,
R_ARM_JUMP24, R_ARM_V4BX), an absolute address outside the image, Thumb code at the entry
point, a resource named by text rather than a number, a program without imports, and an import
list that the slots do not follow.

It writes no exception table (.pdata). The table serves the kernel's walk of the stack while it
dispatches an exception, and debuggers ("ARM pdata Structures", Windows CE .NET reference); the
handheld walks a function without an entry as a leaf ("PDATA Structures", Visual Studio 2008
device documentation). The program has no exception handlers of its own (GCC has no __try):
without a table, what a fault inside it changes is only that the kernel's walk, and a
debugger's, cannot be relied on past the program's innermost frame.
"""
import struct
import sys

from elftools.elf.constants import SH_FLAGS
from elftools.elf.elffile import ELFFile
from elftools.elf.enums import ENUM_RELOC_TYPE_ARM

# Where the handheld lays a program out in its process's slot.
IMAGE_BASE = 0x10000
SECTION_ALIGNMENT = 0x1000
FILE_ALIGNMENT = 0x200
# Every thread's stack is the image's reserve ("Stack", "CreateThread", Windows CE 5.0
# reference): the handheld's own default, 64 KB.
STACK_RESERVE = 0x10000
STACK_COMMIT = 0x1000
HEAP_RESERVE = 0x100000
HEAP_COMMIT = 0x1000
MACHINE_ARM = 0x01C0
SUBSYSTEM_WINDOWS_CE_GUI = 9
# The least version of Windows CE the program asks for ("/SUBSYSTEM", Windows CE 5.0 reference).
WINDOWS_CE_VERSION = (3, 0)
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_32BIT_MACHINE = 0x0100
OPTIONAL_HEADER_MAGIC = 0x10B
DIRECTORY_COUNT = 16
DIRECTORY_IMPORT, DIRECTORY_RESOURCE, DIRECTORY_BASERELOC, DIRECTORY_IAT = 1, 2, 5, 12
DOS_HEADER_SIZE = 0x40
DOS_MAGIC = b"MZ"
PE_SIGNATURE = b"PE\0\0"
COFF_HEADER = struct.Struct("<HHIIIHH")
OPTIONAL_HEADER = struct.Struct("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII")
SECTION_HEADER = struct.Struct("<8sIIIIIIHHI")
CODE = 0x00000020
INITIALIZED = 0x00000040
UNINITIALIZED = 0x00000080
DISCARDABLE = 0x02000000
EXECUTE, READ, WRITE = 0x20000000, 0x40000000, 0x80000000
# The ELF sections the link lays out (cmake/wince-arm.ld), in their order, and what each is.
ELF_SECTIONS = {
    ".text": CODE | EXECUTE | READ,
    ".rdata": INITIALIZED | READ,
    ".data": INITIALIZED | READ | WRITE,
    ".bss": UNINITIALIZED | READ | WRITE,
}
# What a section the writer refuses most likely is.
REFUSED_SECTIONS = {
    ".init_array": "static constructors", ".preinit_array": "static constructors",
    ".ctors": "static constructors", ".fini_array": "static destructors",
    ".dtors": "static destructors", ".ARM.exidx": "unwind tables", ".ARM.extab": "unwind tables",
    ".tdata": "thread-local data", ".tbss": "thread-local data",
}
R_ARM_ABS32 = ENUM_RELOC_TYPE_ARM["R_ARM_ABS32"]
# Branches the link resolved relative to themselves, and the marks of bx instructions that
# --fix-v4bx turned into mov pc: the same wherever the image lies.
RELOCATIONS_WITHOUT_BASE = {ENUM_RELOC_TYPE_ARM[name] for name in
                            ("R_ARM_CALL", "R_ARM_JUMP24", "R_ARM_V4BX")}
RELOCATION_NAMES = {number: name for name, number in ENUM_RELOC_TYPE_ARM.items()}
IMAGE_REL_BASED_HIGHLOW = 3
IMAGE_REL_BASED_ABSOLUTE = 0
PAGE_MASK = 0xFFF
SLOT_PREFIX = "__imp_"
IMPORT_DESCRIPTOR = struct.Struct("<IIIII")
THUNK = struct.Struct("<I")
NO_HINT = 0
RESOURCE_DIRECTORY = struct.Struct("<IIHHHH")
RESOURCE_ENTRY = struct.Struct("<II")
RESOURCE_DATA = struct.Struct("<IIII")
RESOURCE_SUBDIRECTORY = 0x80000000
RES_ORDINAL = 0xFFFF
RES_FIXED_HEADER = struct.Struct("<IHHII")  # data version, flags, language, version, traits


class Refused(Exception):
    """Something in the link that the writer does not handle."""


def align(value, alignment):
    return (value + alignment - 1) & ~(alignment - 1)


def rva(address):
    return address - IMAGE_BASE


class Section:
    """A section of the PE file; its file offset is set as the file is laid out."""

    def __init__(self, name, address, data, virtual_size, characteristics):
        self.name, self.address, self.data = name, address, bytearray(data)
        self.virtual_size, self.characteristics = virtual_size, characteristics
        self.offset = 0

    @property
    def raw_size(self):
        return align(len(self.data), FILE_ALIGNMENT)


def linked_sections(elf):
    """The image's sections from the ELF, checked against the layout the writer needs."""
    sections, end = [], IMAGE_BASE + SECTION_ALIGNMENT
    for section in elf.iter_sections():
        if not section["sh_flags"] & SH_FLAGS.SHF_ALLOC or section["sh_size"] == 0:
            continue
        name, address, size = section.name, section["sh_addr"], section["sh_size"]
        if name not in ELF_SECTIONS:
            raise Refused("section %s (%s) in the link: not handled"
                          % (name, REFUSED_SECTIONS.get(name, "not one the layout has")))
        uninitialized = ELF_SECTIONS[name] & UNINITIALIZED != 0
        if (section["sh_type"] == "SHT_NOBITS") != uninitialized:
            raise Refused("section %s is %s: cannot be placed"
                          % (name, "without contents" if not uninitialized else "with contents"))
        if address % SECTION_ALIGNMENT or address < end:
            raise Refused("section %s at 0x%X is not on a page of its own after the one before"
                          % (name, address))
        data = b"" if uninitialized else section.data()
        sections.append(Section(name, address, data, size, ELF_SECTIONS[name]))
        end = address + size
    order = [section.name for section in sections]
    if order != [name for name in ELF_SECTIONS if name in order] or ".text" not in order:
        raise Refused("sections %s: not in the order %s"
                      % (", ".join(order), ", ".join(ELF_SECTIONS)))
    return sections


def containing(sections, address):
    for section in sections:
        if section.address <= address and address + 4 <= section.address + len(section.data):
            return section
    raise Refused("0x%X is not in a section with contents" % address)


def read_word(sections, address):
    section = containing(sections, address)
    return struct.unpack_from("<I", section.data, address - section.address)[0]


def write_word(sections, address, value):
    section = containing(sections, address)
    struct.pack_into("<I", section.data, address - section.address, value)


def absolute_addresses(elf, sections, linked_end):
    """The addresses of the words the link relocated as absolute addresses, each checked to
    point into the linked image (or just past its end)."""
    addresses = []
    for relocations in elf.iter_sections():
        if relocations["sh_type"] == "SHT_RELA":
            raise Refused("relocations with addends (%s): not handled" % relocations.name)
        if relocations["sh_type"] != "SHT_REL":
            continue
        target = elf.get_section(relocations["sh_info"])
        if not target["sh_flags"] & SH_FLAGS.SHF_ALLOC:
            continue
        for relocation in relocations.iter_relocations():
            kind, address = relocation["r_info_type"], relocation["r_offset"]
            if kind == R_ARM_ABS32:
                value = read_word(sections, address)
                if not IMAGE_BASE <= value <= linked_end:
                    raise Refused("absolute address 0x%X at 0x%X is outside the image"
                                  % (value, address))
                addresses.append(address)
            elif kind not in RELOCATIONS_WITHOUT_BASE:
                raise Refused("relocation %s at 0x%X in %s: not handled"
                              % (RELOCATION_NAMES.get(kind, kind), address, target.name))
    return sorted(addresses)


def slot_addresses(elf):
    symbols = elf.get_section_by_name(".symtab")
    return {symbol.name[len(SLOT_PREFIX):]: symbol["st_value"] for symbol in symbols.iter_symbols()
            if symbol.name.startswith(SLOT_PREFIX)}


def import_section(address, sections, imports, slots):
    """The import directory, over the slots, at address; fills each slot as its lookup entry.
    Returns (section, directory entries for the imports and the slots)."""
    if not imports:
        raise Refused("a program without imports: not handled")
    libraries = {}
    for library, name in imports:
        libraries.setdefault(library, []).append(name)
    if set(slots) != {name for _, name in imports}:
        raise Refused("import slots in the link (%s) and the import list disagree"
                      % ", ".join(sorted(set(slots) ^ {name for _, name in imports})))

    descriptors_size = IMPORT_DESCRIPTOR.size * (len(libraries) + 1)
    lookup_size = sum(THUNK.size * (len(names) + 1) for names in libraries.values())
    hint_names, strings = bytearray(), {}
    for library, names in libraries.items():
        for name in names:
            strings[name] = len(hint_names)
            entry = struct.pack("<H", NO_HINT) + name.encode("ascii") + b"\0"
            hint_names += entry + b"\0" * (len(entry) % 2)
    library_names = bytearray()
    for library in libraries:
        strings[library] = len(hint_names) + len(library_names)
        library_names += library.encode("ascii") + b"\0"

    base = rva(address)
    strings_base = base + descriptors_size + lookup_size
    descriptors, lookup = bytearray(), bytearray()
    for library, names in libraries.items():
        first = slots[names[0]]
        for index, name in enumerate(names):
            if slots[name] != first + THUNK.size * index:
                raise Refused("the slot of %s is out of its run for %s" % (name, library))
        terminator = first + THUNK.size * len(names)
        if read_word(sections, terminator) != 0:
            raise Refused("the slots for %s do not end in a zero word" % library)
        lookup_rva = base + descriptors_size + len(lookup)
        for name in names:
            entry = strings_base + strings[name]
            lookup += THUNK.pack(entry)
            write_word(sections, slots[name], entry)
        lookup += THUNK.pack(0)
        descriptors += IMPORT_DESCRIPTOR.pack(lookup_rva, 0, 0, strings_base + strings[library],
                                              rva(first))
    descriptors += IMPORT_DESCRIPTOR.pack(0, 0, 0, 0, 0)
    data = descriptors + lookup + hint_names + library_names

    first_slot = min(slots.values())
    slots_end = max(slots.values()) + 2 * THUNK.size  # the last slot and the zero word after it
    directories = {DIRECTORY_IMPORT: (base, descriptors_size),
                   DIRECTORY_IAT: (rva(first_slot), slots_end - first_slot)}
    return Section(".idata", address, data, len(data), INITIALIZED | READ), directories


def relocation_section(address, addresses):
    """Base relocations: a block for each page holding relocated words."""
    pages = {}
    for relocated in addresses:
        pages.setdefault(rva(relocated) & ~PAGE_MASK, []).append(rva(relocated) & PAGE_MASK)
    data = bytearray()
    for page, offsets in sorted(pages.items()):
        entries = [IMAGE_REL_BASED_HIGHLOW << 12 | offset for offset in offsets]
        if len(entries) % 2:
            entries.append(IMAGE_REL_BASED_ABSOLUTE << 12)
        data += struct.pack("<II", page, 8 + 2 * len(entries))
        data += struct.pack("<%dH" % len(entries), *entries)
    return Section(".reloc", address, data, len(data), INITIALIZED | READ | DISCARDABLE)


def read_res_id(res, offset, what):
    """(number, offset after it) of a type or name in a resource file's header."""
    if struct.unpack_from("<H", res, offset)[0] != RES_ORDINAL:
        raise Refused("a resource whose %s is a text, not a number: not handled" % what)
    return struct.unpack_from("<H", res, offset + 2)[0], offset + 4


def read_resources(res):
    """{type: {name: {language: data}}} from a resource file."""
    resources, offset = {}, 0
    while offset < len(res):
        data_size, header_size = struct.unpack_from("<II", res, offset)
        kind, at = read_res_id(res, offset + 8, "type")
        name, at = read_res_id(res, at, "name")
        language = RES_FIXED_HEADER.unpack_from(res, align(at, 4))[2]
        data = res[offset + header_size:offset + header_size + data_size]
        if kind != 0:  # the file's opening entry, which marks it as 32-bit
            resources.setdefault(kind, {}).setdefault(name, {})[language] = data
        offset = align(offset + header_size + data_size, 4)
    return resources


def resource_section(address, resources):
    """The resource directory: a table of types, one of names for each type and one of
    languages for each name, whose entries lead to the data entries and the data after them."""
    tables = [[]]  # each a list of (number, index of the table it leads to, or the data)
    for kind, names in sorted(resources.items()):
        tables.append([])
        tables[0].append((kind, len(tables) - 1))
        names_table = tables[-1]
        for name, languages in sorted(names.items()):
            tables.append(sorted(languages.items()))
            names_table.append((name, len(tables) - 1))

    offsets, size = [], 0
    for entries in tables:
        offsets.append(size)
        size += RESOURCE_DIRECTORY.size + RESOURCE_ENTRY.size * len(entries)
    leaves = [data for entries in tables for _, data in entries if isinstance(data, bytes)]
    blobs_at = align(size + RESOURCE_DATA.size * len(leaves), 8)

    out, data_entries, blobs = bytearray(), bytearray(), bytearray()
    for entries in tables:
        out += RESOURCE_DIRECTORY.pack(0, 0, 0, 0, 0, len(entries))
        for number, target in entries:
            if isinstance(target, bytes):
                out += RESOURCE_ENTRY.pack(number, size + len(data_entries))
                data_entries += RESOURCE_DATA.pack(rva(address) + blobs_at + len(blobs),
                                                   len(target), 0, 0)
                blobs += target + b"\0" * (align(len(target), 8) - len(target))
            else:
                out += RESOURCE_ENTRY.pack(number, RESOURCE_SUBDIRECTORY | offsets[target])
    out += data_entries
    out += b"\0" * (blobs_at - len(out)) + blobs
    return Section(".rsrc", address, out, len(out), INITIALIZED | READ)


def headers_and_layout(sections, entry, directories):
    """The file's headers; sets each section's file offset."""
    headers_size = align(DOS_HEADER_SIZE + len(PE_SIGNATURE) + COFF_HEADER.size
                         + OPTIONAL_HEADER.size + 8 * DIRECTORY_COUNT
                         + SECTION_HEADER.size * len(sections), FILE_ALIGNMENT)
    offset = headers_size
    for section in sections:
        section.offset = offset if section.raw_size else 0
        offset += section.raw_size
    image_end = align(sections[-1].address + sections[-1].virtual_size, SECTION_ALIGNMENT)
    code = sum(s.raw_size for s in sections if s.characteristics & CODE)
    initialized = sum(s.raw_size for s in sections if s.characteristics & INITIALIZED)
    uninitialized = sum(s.virtual_size for s in sections if s.characteristics & UNINITIALIZED)

    text = sections[0]
    data_after_code = next((s for s in sections if not s.characteristics & CODE), text)
    dos = bytearray(DOS_HEADER_SIZE)
    dos[0:2] = DOS_MAGIC
    struct.pack_into("<I", dos, 0x3C, DOS_HEADER_SIZE)
    coff = COFF_HEADER.pack(MACHINE_ARM, len(sections), 0, 0, 0,
                            OPTIONAL_HEADER.size + 8 * DIRECTORY_COUNT,
                            IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_32BIT_MACHINE)
    optional = OPTIONAL_HEADER.pack(
        OPTIONAL_HEADER_MAGIC, 0, 0, code, initialized, uninitialized,
        rva(entry), rva(text.address), rva(data_after_code.address), IMAGE_BASE,
        SECTION_ALIGNMENT, FILE_ALIGNMENT, *WINDOWS_CE_VERSION, 0, 0, *WINDOWS_CE_VERSION, 0,
        rva(image_end), headers_size, 0, SUBSYSTEM_WINDOWS_CE_GUI, 0,
        STACK_RESERVE, STACK_COMMIT, HEAP_RESERVE, HEAP_COMMIT, 0, DIRECTORY_COUNT)
    table = b"".join(struct.pack("<II", *directories.get(index, (0, 0)))
                     for index in range(DIRECTORY_COUNT))
    section_table = b"".join(
        SECTION_HEADER.pack(s.name.encode("ascii"), s.virtual_size, rva(s.address), s.raw_size,
                            s.offset, 0, 0, 0, 0, s.characteristics) for s in sections)
    out = dos + PE_SIGNATURE + coff + optional + table + section_table
    return out + b"\0" * (headers_size - len(out))


def write(elf_path, imports_path, res_path, out_path):
    with open(elf_path, "rb") as stream:
        elf = ELFFile(stream)
        if elf["e_machine"] != "EM_ARM" or elf.elfclass != 32 or not elf.little_endian:
            raise Refused("%s is not a little-endian 32-bit ARM image" % elf_path)
        entry = elf["e_entry"]
        sections = linked_sections(elf)
        text = sections[0]
        if entry & 1 or not text.address <= entry < text.address + len(text.data):
            raise Refused("entry point 0x%X is not ARM code in .text" % entry)
        slots = slot_addresses(elf)
        imports = [tuple(line.split()) for line in open(imports_path).read().splitlines() if line]

        linked_end = sections[-1].address + sections[-1].virtual_size
        relocated = absolute_addresses(elf, sections, linked_end)
        idata, directories = import_section(align(linked_end, SECTION_ALIGNMENT), sections,
                                            imports, slots)
        rsrc = resource_section(align(idata.address + len(idata.data), SECTION_ALIGNMENT),
                                read_resources(open(res_path, "rb").read()))
        reloc = relocation_section(align(rsrc.address + len(rsrc.data), SECTION_ALIGNMENT),
                                   relocated)

    image = sections + [idata, rsrc, reloc]
    directories[DIRECTORY_RESOURCE] = (rva(rsrc.address), len(rsrc.data))
    directories[DIRECTORY_BASERELOC] = (rva(reloc.address), len(reloc.data))
    out = headers_and_layout(image, entry, directories)
    for section in image:
        out += section.data + b"\0" * (section.raw_size - len(section.data))
    with open(out_path, "wb") as stream:
        stream.write(out)


def main(elf_path, imports_path, res_path, out_path):
    try:
        write(elf_path, imports_path, res_path, out_path)
    except Refused as refusal:
        print("%s: %s" % (out_path, refusal), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
