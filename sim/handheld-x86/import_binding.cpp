#include "sim/handheld-x86/import_binding.h"

#include <cstring>

#include "sim/handheld-x86/last_line.h"

const char STAND_IN_KERNEL[] = "COREDLL.dll";

namespace {

const char* const STAND_IN_LIBRARIES[] = {STAND_IN_KERNEL, "COMMCTRL.dll"};
const char WITHHELD_CALL_VARIABLE[] = "VANDREL_WITHHELD_CALL";
constexpr DWORD CALL_NAME_CHARS = 256;  // including the terminator; far more than any name

const char* StandInName(const char* imported) {
    for (const char* name : STAND_IN_LIBRARIES) {
        if (lstrcmpiA(name, imported) == 0) {
            return name;
        }
    }
    return nullptr;
}

// An address inside the image, or the end of the launch as refused.
template <typename T>
T* At(const ProgramImage& image, DWORD rva, DWORD bytes = sizeof(T)) {
    if (rva > image.size || bytes > image.size - rva) {
        EndWithLine(PROGRAM_REFUSED_EXIT_CODE,
                    "the program's import directory points outside its image (0x%08lx)", rva);
    }
    return reinterpret_cast<T*>(image.start + rva);
}

// The call the handheld is made to lack, or an empty name.
void ReadWithheldCall(char (&name)[CALL_NAME_CHARS]) {
    const DWORD chars = GetEnvironmentVariableA(WITHHELD_CALL_VARIABLE, name, CALL_NAME_CHARS);
    if (chars >= CALL_NAME_CHARS) {
        EndWithLine(LAUNCH_FAILED_EXIT_CODE, "%s names no call: it is too long",
                    WITHHELD_CALL_VARIABLE);
    }
    if (chars == 0) {
        name[0] = '\0';
    }
}

void BindLibrary(const ProgramImage& image, const IMAGE_IMPORT_DESCRIPTOR& descriptor,
                 const wchar_t* standInFolder, const char* withheld) {
    const char* imported = At<const char>(image, descriptor.Name, 1);
    const char* name = StandInName(imported);
    if (name == nullptr) {
        EndWithLine(PROGRAM_REFUSED_EXIT_CODE,
                    "the program imports from %s, which the stand-in does not have", imported);
    }
    const HMODULE library = LoadStandInLibrary(standInFolder, name);
    // The names are in the lookup table; a linker that writes none leaves them in the
    // address table itself, which binding then overwrites one by one.
    const DWORD lookup =
        descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
    for (DWORD i = 0;; ++i) {
        const auto& entry = *At<const IMAGE_THUNK_DATA32>(image, lookup + i * sizeof(DWORD));
        if (entry.u1.AddressOfData == 0) {
            return;
        }
        if (IMAGE_SNAP_BY_ORDINAL32(entry.u1.Ordinal)) {
            EndWithLine(PROGRAM_REFUSED_EXIT_CODE,
                        "the program imports ordinal %lu from %s, which the stand-in does not "
                        "bind: it binds by name",
                        IMAGE_ORDINAL32(entry.u1.Ordinal), imported);
        }
        const auto& byName = *At<const IMAGE_IMPORT_BY_NAME>(image, entry.u1.AddressOfData);
        const char* call = reinterpret_cast<const char*>(byName.Name);
        const bool isWithheld = lstrcmpA(call, withheld) == 0;
        const FARPROC address = isWithheld ? nullptr : GetProcAddress(library, call);
        if (address == nullptr && !isWithheld) {
            EndWithLine(PROGRAM_REFUSED_EXIT_CODE,
                        "the program imports %s from %s, which the stand-in does not have", call,
                        imported);
        }
        At<IMAGE_THUNK_DATA32>(image, descriptor.FirstThunk + i * sizeof(DWORD))->u1.Function =
            reinterpret_cast<ULONG_PTR>(address);
    }
}

}  // namespace

HMODULE LoadStandInLibrary(const wchar_t* standInFolder, const char* name) {
    wchar_t path[MAX_PATH];
    const int folderChars = lstrlenW(standInFolder);
    if (folderChars >= MAX_PATH ||
        MultiByteToWideChar(CP_ACP, 0, name, -1, path + folderChars, MAX_PATH - folderChars) == 0) {
        EndWithLine(LAUNCH_FAILED_EXIT_CODE, "the launcher's folder has too long a path");
    }
    memcpy(path, standInFolder, folderChars * sizeof(wchar_t));
    const HMODULE library = LoadLibraryW(path);
    if (library == nullptr) {
        EndWithLine(LAUNCH_FAILED_EXIT_CODE,
                    "the stand-in's %s cannot be loaded from the launcher's folder (error %lu)",
                    name, GetLastError());
    }
    return library;
}

void BindProgramImports(const ProgramImage& image, const wchar_t* standInFolder) {
    const IMAGE_DATA_DIRECTORY& directory =
        image.headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.Size == 0) {
        return;
    }
    char withheld[CALL_NAME_CHARS];
    ReadWithheldCall(withheld);
    for (DWORD i = 0;; ++i) {
        const auto& descriptor = *At<const IMAGE_IMPORT_DESCRIPTOR>(
            image, directory.VirtualAddress + i * sizeof(IMAGE_IMPORT_DESCRIPTOR));
        if (descriptor.Name == 0) {
            return;  // the directory's closing entry
        }
        BindLibrary(image, descriptor, standInFolder, withheld);
    }
}
