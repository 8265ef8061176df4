// The handheld's window manager where it differs from the desktop's.
//
// RegisterClassW (Windows CE 5.0 reference, "RegisterClass"): the system calls a class's
// window procedure as __cdecl. The stand-in registers the class with a procedure of its own
// and keeps the program's beside the class's atom; its procedure calls the program's
// through CallCdeclProcedure, which names the class should the program's not be __cdecl.
//
// SetForegroundWindow (Windows CE 5.0 reference, "SetForegroundWindow"): a window handle
// combined with 0x01 asks for the window's last active owned window (its message box, say)
// to come to the front instead of the window itself.
#include <windows.h>

#include <cstdio>

#include "sim/handheld-x86/handheld_export.h"
#include "sim/handheld-x86/last_line.h"
#include "sim/handheld-x86/program_call.h"

namespace {

constexpr int MOST_CLASSES = 16;  // far more than a handheld program registers
constexpr int DESCRIBED_CHARS = 192;
constexpr int CLASS_NAME_BYTES = 128;
constexpr DWORD WINDOW_PROCEDURE_ARGUMENTS = 4;
constexpr ULONG_PTR LAST_ACTIVE_OWNED = 0x01;

struct ProgramClass {
    ATOM atom;
    const void* procedure;
    char described[DESCRIBED_CHARS];  // "the window procedure of class VandrelMainWindow"
};

// Appended to under the lock held exclusively, across the class's registration, so that no
// message of the class's windows can come before its entry.
ProgramClass g_classes[MOST_CLASSES];
int g_classCount;
SRWLOCK g_classesLock = SRWLOCK_INIT;

void DescribeClass(const wchar_t* className, char (&described)[DESCRIBED_CHARS]) {
    char name[CLASS_NAME_BYTES] = "";
    if (IS_INTRESOURCE(className)) {
        snprintf(name, sizeof name, "#%u",
                 static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(className)));
    } else {
        WideCharToMultiByte(CP_UTF8, 0, className, -1, name, sizeof name - 1, nullptr, nullptr);
    }
    snprintf(described, sizeof described, "the window procedure of class %s", name);
}

const ProgramClass* ProgramClassOf(HWND window) {
    const ATOM atom = static_cast<ATOM>(GetClassLongW(window, GCW_ATOM));
    AcquireSRWLockShared(&g_classesLock);
    const ProgramClass* found = g_classes;
    while (found->atom != atom) {
        ++found;  // every class with the stand-in's procedure has an entry
    }
    ReleaseSRWLockShared(&g_classesLock);
    return found;
}

LRESULT CALLBACK CallProgramWindowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    const ProgramClass* programClass = ProgramClassOf(window);
    const DWORD arguments[WINDOW_PROCEDURE_ARGUMENTS] = {
        static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(window)), message, wParam,
        static_cast<DWORD>(lParam)};
    return static_cast<LRESULT>(CallCdeclProcedure(
        programClass->procedure, arguments, WINDOW_PROCEDURE_ARGUMENTS, programClass->described));
}

}  // namespace

extern "C" ATOM __cdecl Handheld_RegisterClassW(const WNDCLASSW* programClass) {
    WNDCLASSW desktopClass = *programClass;
    desktopClass.lpfnWndProc = CallProgramWindowProcedure;
    AcquireSRWLockExclusive(&g_classesLock);
    if (g_classCount == MOST_CLASSES) {
        EndWithLine(PROGRAM_REFUSED_EXIT_CODE,
                    "the program registers more than %d window classes, the most the "
                    "stand-in keeps",
                    MOST_CLASSES);
    }
    const ATOM atom = RegisterClassW(&desktopClass);
    if (atom != 0) {
        ProgramClass& entry = g_classes[g_classCount++];
        entry.atom = atom;
        entry.procedure = reinterpret_cast<const void*>(programClass->lpfnWndProc);
        DescribeClass(programClass->lpszClassName, entry.described);
    }
    ReleaseSRWLockExclusive(&g_classesLock);
    return atom;
}
HANDHELD_EXPORT(RegisterClassW);

extern "C" BOOL __cdecl Handheld_SetForegroundWindow(HWND window) {
    const ULONG_PTR handle = reinterpret_cast<ULONG_PTR>(window);
    if (handle & LAST_ACTIVE_OWNED) {
        return SetForegroundWindow(
            GetLastActivePopup(reinterpret_cast<HWND>(handle & ~LAST_ACTIVE_OWNED)));
    }
    return SetForegroundWindow(window);
}
HANDHELD_EXPORT(SetForegroundWindow);
