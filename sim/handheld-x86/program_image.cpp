#include "sim/handheld-x86/program_image.h"

#include <cstddef>
#include <cstring>

#include "sim/handheld-x86/last_line.h"

namespace {

constexpr DWORD MOST_FILE_BYTES = 32 * 1024 * 1024;  // a process slot of the handheld's
constexpr int PATH_BYTES = 3 * MAX_PATH;             // a path in UTF-8, for the lines

// A base relocation entry: its type in the top 4 bits, its offset in the block's page below.
constexpr int RELOCATION_TYPE_SHIFT = 12;
constexpr WORD RELOCATION_OFFSET_MASK = 0x0FFF;

struct ProgramFile {
    BYTE* bytes;
    DWORD size;
    char name[PATH_BYTES];
};

[[noreturn]] void RefuseFile(const ProgramFile& file, const char* what) {
    EndWithLine(PROGRAM_REFUSED_EXIT_CODE, "%s %s", file.name, what);
}

ProgramFile ReadProgramFile(const wchar_t* path) {
    ProgramFile file = {};
    WideCharToMultiByte(CP_UTF8, 0, path, -1, file.name, sizeof file.name - 1, nullptr, nullptr);
    HANDLE handle =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        EndWithLine(LAUNCH_FAILED_EXIT_CODE, "%s cannot be opened (error %lu)", file.name,
                    GetLastError());
    }
    file.size = GetFileSize(handle, nullptr);
    if (file.size == INVALID_FILE_SIZE || file.size > MOST_FILE_BYTES) {
        EndWithLine(LAUNCH_FAILED_EXIT_CODE, "%s is larger than a handheld program can be",
                    file.name);
    }
    file.bytes = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, file.size));
    DWORD read = 0;
    if (file.bytes == nullptr || !ReadFile(handle, file.bytes, file.size, &read, nullptr) ||
        read != file.size) {
        EndWithLine(LAUNCH_FAILED_EXIT_CODE, "%s cannot be read (error %lu)", file.name,
                    GetLastError());
    }
    CloseHandle(handle);
    return file;
}

// The file's headers, once they are whole and those of a Windows CE program for x86.
const IMAGE_NT_HEADERS32& CheckHeaders(const ProgramFile& file) {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(file.bytes);
    if (file.size < sizeof *dos + sizeof(IMAGE_NT_HEADERS32) ||
        dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
        static_cast<DWORD>(dos->e_lfanew) > file.size - sizeof(IMAGE_NT_HEADERS32)) {
        RefuseFile(file, "is no Windows program");
    }
    const auto& headers = *reinterpret_cast<const IMAGE_NT_HEADERS32*>(file.bytes + dos->e_lfanew);
    const IMAGE_OPTIONAL_HEADER32& optional = headers.OptionalHeader;
    if (headers.Signature != IMAGE_NT_SIGNATURE ||
        headers.FileHeader.Machine != IMAGE_FILE_MACHINE_I386 ||
        optional.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC ||
        optional.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_CE_GUI) {
        RefuseFile(file, "is no Windows CE program for x86 (PE32, i386, subsystem Windows CE GUI)");
    }
    const DWORD sectionsEnd = dos->e_lfanew + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                              headers.FileHeader.SizeOfOptionalHeader +
                              headers.FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER);
    if (sectionsEnd > file.size || sectionsEnd > optional.SizeOfHeaders ||
        optional.SizeOfHeaders > optional.SizeOfImage || optional.SizeOfHeaders > file.size) {
        RefuseFile(file, "has headers that do not fit its file or its image");
    }
    return headers;
}

// Reserves and commits the image's whole extent, writable, at its own base if free.
BYTE* PlaceImage(const ProgramFile& file, const IMAGE_NT_HEADERS32& headers) {
    const DWORD size = headers.OptionalHeader.SizeOfImage;
    void* at = VirtualAlloc(reinterpret_cast<void*>(headers.OptionalHeader.ImageBase), size,
                            MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (at == nullptr) {
        if (headers.FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED) {
            RefuseFile(file, "cannot be placed at its base, and has no base relocations");
        }
        at = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    }
    if (at == nullptr) {
        EndWithLine(LAUNCH_FAILED_EXIT_CODE, "no room for %s (%lu bytes)", file.name, size);
    }
    return static_cast<BYTE*>(at);
}

void CopySections(const ProgramFile& file, const ProgramImage& image) {
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(image.headers);
    for (WORD i = 0; i < image.headers->FileHeader.NumberOfSections; ++i, ++section) {
        // Beyond its raw data a section is zeros, as the fresh pages already are.
        DWORD bytes = section->SizeOfRawData;
        if (section->Misc.VirtualSize != 0 && section->Misc.VirtualSize < bytes) {
            bytes = section->Misc.VirtualSize;
        }
        if (section->PointerToRawData > file.size ||
            bytes > file.size - section->PointerToRawData || section->VirtualAddress > image.size ||
            bytes > image.size - section->VirtualAddress) {
            RefuseFile(file, "has a section that does not fit its file or its image");
        }
        memcpy(image.start + section->VirtualAddress, file.bytes + section->PointerToRawData,
               bytes);
    }
}

// Moves every absolute address in the image by how far the image moved from its base.
void Relocate(const ProgramFile& file, const ProgramImage& image) {
    const DWORD delta =
        reinterpret_cast<ULONG_PTR>(image.start) - image.headers->OptionalHeader.ImageBase;
    const IMAGE_DATA_DIRECTORY& directory =
        image.headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    if (delta == 0) {
        return;
    }
    if (directory.Size == 0 || directory.VirtualAddress > image.size ||
        directory.Size > image.size - directory.VirtualAddress) {
        RefuseFile(file, "cannot be placed at its base, and has no base relocations");
    }
    const BYTE* block = image.start + directory.VirtualAddress;
    const BYTE* end = block + directory.Size;
    while (block + sizeof(IMAGE_BASE_RELOCATION) <= end) {
        const auto& header = *reinterpret_cast<const IMAGE_BASE_RELOCATION*>(block);
        if (header.SizeOfBlock < sizeof header ||
            header.SizeOfBlock > static_cast<DWORD>(end - block)) {
            RefuseFile(file, "has a base relocation block that does not fit its directory");
        }
        const WORD* entry = reinterpret_cast<const WORD*>(block + sizeof header);
        const WORD* entriesEnd = reinterpret_cast<const WORD*>(block + header.SizeOfBlock);
        for (; entry < entriesEnd; ++entry) {
            const int type = *entry >> RELOCATION_TYPE_SHIFT;
            const DWORD at = header.VirtualAddress + (*entry & RELOCATION_OFFSET_MASK);
            if (type == IMAGE_REL_BASED_ABSOLUTE) {
                continue;  // padding to the block's size
            }
            if (type != IMAGE_REL_BASED_HIGHLOW || at > image.size - sizeof(DWORD)) {
                RefuseFile(file, "has a base relocation that is not a 32-bit one inside the image");
            }
            DWORD value;
            memcpy(&value, image.start + at, sizeof value);
            value += delta;
            memcpy(image.start + at, &value, sizeof value);
        }
        block += header.SizeOfBlock;
    }
}

DWORD SectionProtection(DWORD characteristics) {
    const bool execute = characteristics & IMAGE_SCN_MEM_EXECUTE;
    const bool write = characteristics & IMAGE_SCN_MEM_WRITE;
    const bool read = characteristics & IMAGE_SCN_MEM_READ;
    if (execute) {
        return write ? PAGE_EXECUTE_READWRITE : read ? PAGE_EXECUTE_READ : PAGE_EXECUTE;
    }
    return write ? PAGE_READWRITE : read ? PAGE_READONLY : PAGE_NOACCESS;
}

}  // namespace

ProgramImage MapProgramImage(const wchar_t* path) {
    const ProgramFile file = ReadProgramFile(path);
    const IMAGE_NT_HEADERS32& fileHeaders = CheckHeaders(file);
    ProgramImage image;
    image.start = PlaceImage(file, fileHeaders);
    image.size = fileHeaders.OptionalHeader.SizeOfImage;
    memcpy(image.start, file.bytes, fileHeaders.OptionalHeader.SizeOfHeaders);
    image.headers = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
        image.start + (reinterpret_cast<const BYTE*>(&fileHeaders) - file.bytes));
    CopySections(file, image);
    Relocate(file, image);
    HeapFree(GetProcessHeap(), 0, file.bytes);
    return image;
}

void ProtectProgramImage(const ProgramImage& image) {
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(image.headers);
    DWORD before;
    bool protectedAll = VirtualProtect(image.start, image.headers->OptionalHeader.SizeOfHeaders,
                                       PAGE_READONLY, &before);
    for (WORD i = 0; i < image.headers->FileHeader.NumberOfSections; ++i, ++section) {
        const DWORD bytes = section->Misc.VirtualSize > section->SizeOfRawData
                                ? section->Misc.VirtualSize
                                : section->SizeOfRawData;
        protectedAll = VirtualProtect(image.start + section->VirtualAddress, bytes,
                                      SectionProtection(section->Characteristics), &before) &&
                       protectedAll;
    }
    if (!protectedAll) {
        EndWithLine(LAUNCH_FAILED_EXIT_CODE,
                    "the program's sections could not be protected (error %lu)", GetLastError());
    }
}
