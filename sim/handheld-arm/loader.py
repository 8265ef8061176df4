"""The handheld's program loader: a PE image for the ARM handheld into the emulated memory.

load_program(path, base) checks that the file is a program the handheld would start (ARM
machine, Windows CE GUI subsystem of a version the handheld has), maps its headers and
sections at base (the image base unless asked otherwise), each with the protection its
flags give, applies the base relocations when base is not the image's own, and returns a
Program: where it lies, its entry point, its stack reserve, its imports (DLL, name and the
slot to bind) and its resources (string table, icon groups, accelerator tables). A file the
handheld would refuse raises LoadRefused with one line saying why.
"""
import pefile

MACHINE_ARM = 0x01C0  # ARM code only: the handheld's StrongARM has no Thumb state
SUBSYSTEM_WINDOWS_CE_GUI = 9
HANDHELD_VERSION = (3, 0)
PAGE = 0x1000

RT_STRING = 6
RT_ACCELERATOR = 9
RT_GROUP_ICON = 14
STRINGS_PER_BLOCK = 16  # a string table block holds the strings id // 16 * 16 onwards

REL_ABSOLUTE = 0  # padding in a block
REL_HIGHLOW = 3  # a whole 32-bit address

PROT_READ, PROT_WRITE, PROT_EXEC = 1, 2, 4  # Unicorn's UC_PROT_* values


class LoadRefused(Exception):
    pass


class Import:
    def __init__(self, dll, name, slot):
        self.dll = dll
        self.name = name
        self.slot = slot  # where the loader writes the address of the call


class Program:
    def __init__(self, path, base, size, entry, stack_reserve, imports, resources):
        self.path = path
        self.base = base
        self.size = size
        self.entry = entry
        self.stack_reserve = stack_reserve
        self.imports = imports
        self.resources = resources  # {(type, id): bytes}

    def string(self, string_id):
        """The string table's text for string_id, or None when it has none."""
        block = self.resources.get((RT_STRING, string_id // STRINGS_PER_BLOCK + 1))
        if block is None:
            return None
        offset = 0
        for _ in range(string_id % STRINGS_PER_BLOCK):
            offset += 2 + 2 * int.from_bytes(block[offset:offset + 2], "little")
        chars = int.from_bytes(block[offset:offset + 2], "little")
        return block[offset + 2:offset + 2 + 2 * chars].decode("utf-16-le") if chars else None

    def has_resource(self, kind, resource_id):
        return (kind, resource_id) in self.resources


def round_up(value, unit):
    return (value + unit - 1) // unit * unit


def section_protection(characteristics):
    protection = 0
    if characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_READ"]:
        protection |= PROT_READ
    if characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]:
        protection |= PROT_WRITE
    if characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]:
        protection |= PROT_EXEC
    return protection


def check_handheld_program(pe):
    header = pe.OPTIONAL_HEADER
    if pe.FILE_HEADER.Machine != MACHINE_ARM:
        raise LoadRefused("the program is for machine 0x%04x, not the handheld's ARM (0x%04x)"
                          % (pe.FILE_HEADER.Machine, MACHINE_ARM))
    if header.Subsystem != SUBSYSTEM_WINDOWS_CE_GUI:
        raise LoadRefused("the program's subsystem is %d, not Windows CE GUI (%d)"
                          % (header.Subsystem, SUBSYSTEM_WINDOWS_CE_GUI))
    version = (header.MajorSubsystemVersion, header.MinorSubsystemVersion)
    if version > HANDHELD_VERSION:
        raise LoadRefused("the program needs Windows CE %d.%02d; the handheld has %d.%02d"
                          % (version + HANDHELD_VERSION))
    if header.SectionAlignment % PAGE:
        raise LoadRefused("the sections are aligned to 0x%x, less than a page"
                          % header.SectionAlignment)


def map_image(memory, pe, base):
    """Headers read-only, then each section with its own protection."""
    header = pe.OPTIONAL_HEADER
    headers_size = round_up(header.SizeOfHeaders, PAGE)
    memory.map(base, headers_size, PROT_READ, "the program's headers")
    memory.load(base, pe.get_data(0, header.SizeOfHeaders))
    for section in pe.sections:
        size = round_up(max(section.Misc_VirtualSize, section.SizeOfRawData), PAGE)
        if size == 0:
            continue
        name = section.Name.rstrip(b"\0").decode("ascii", "replace")
        address = base + section.VirtualAddress
        memory.map(address, size, section_protection(section.Characteristics), name)
        data = section.get_data()[:max(section.Misc_VirtualSize, section.SizeOfRawData)]
        memory.load(address, data)


def relocate(memory, pe, base):
    delta = (base - pe.OPTIONAL_HEADER.ImageBase) & 0xFFFFFFFF
    if delta == 0:
        return
    if not hasattr(pe, "DIRECTORY_ENTRY_BASERELOC"):
        raise LoadRefused("the program has no base relocations and cannot move to 0x%08x" % base)
    for block in pe.DIRECTORY_ENTRY_BASERELOC:
        for entry in block.entries:
            if entry.type == REL_ABSOLUTE:
                continue
            if entry.type != REL_HIGHLOW:
                raise LoadRefused("base relocation of type %d at 0x%08x, which the handheld's "
                                  "loader lacks" % (entry.type, entry.rva))
            address = base + entry.rva
            moved = (memory.word(address) + delta) & 0xFFFFFFFF
            memory.load(address, moved.to_bytes(4, "little"))


def read_imports(pe, base):
    imports = []
    for dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll_name = dll.dll.decode("ascii")
        for symbol in dll.imports:
            name = symbol.name.decode("ascii") if symbol.name else "#%d" % symbol.ordinal
            slot = base + symbol.address - pe.OPTIONAL_HEADER.ImageBase
            imports.append(Import(dll_name, name, slot))
    return imports


def read_resources(pe):
    """Every resource with a numeric type and identifier, in its first language."""
    resources = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return resources
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id is None:
            continue
        for item in kind.directory.entries:
            if item.id is None or not item.directory.entries:
                continue
            data = item.directory.entries[0].data.struct
            resources[(kind.id, item.id)] = pe.get_data(data.OffsetToData, data.Size)
    return resources


def load_program(memory, path, base=None):
    try:
        pe = pefile.PE(path)
    except (OSError, pefile.PEFormatError) as error:
        raise LoadRefused("%s is not a program the handheld can load: %s" % (path, error))
    check_handheld_program(pe)
    header = pe.OPTIONAL_HEADER
    base = header.ImageBase if base is None else base
    if base % PAGE:
        raise LoadRefused("0x%08x is not on a page boundary" % base)
    map_image(memory, pe, base)
    relocate(memory, pe, base)
    return Program(path, base, header.SizeOfImage, base + header.AddressOfEntryPoint,
                   header.SizeOfStackReserve, read_imports(pe, base), read_resources(pe))
