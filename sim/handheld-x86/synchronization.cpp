// The handheld's events and critical sections.
//
// EventModify (Windows CE 5.0 reference, "EventModify"; kfuncs.h) is the one call behind
// SetEvent, ResetEvent and PulseEvent, which coredll does not export by those names.
//
// The handheld's CRITICAL_SECTION is 20 bytes, the desktop's 24: the desktop's calls would
// write past the program's section. The program treats a section as opaque, as its page
// says it must ("InitializeCriticalSection", Windows CE 5.0 reference), so the stand-in keeps
// a desktop section of its own for each and holds its address in the handheld's 20 bytes.
// A section that holds none of the stand-in's (one still zero from before its
// InitializeCriticalSection, or deleted) ends the run with a line that names the call.
#include <windows.h>

#include "sim/handheld-x86/handheld_export.h"
#include "sim/handheld-x86/last_line.h"

namespace {

constexpr DWORD EVENT_PULSE = 1;
constexpr DWORD EVENT_RESET = 2;
constexpr DWORD EVENT_SET = 3;

struct HandheldCriticalSection {
    DWORD opaque[4];
    CRITICAL_SECTION* desktop;  // the stand-in's section, or null when there is none
};
static_assert(sizeof(HandheldCriticalSection) == 20, "the handheld's structure");

CRITICAL_SECTION* DesktopSection(const HandheldCriticalSection* section, const char* call) {
    if (section->desktop == nullptr) {
        EndWithLine(PROGRAM_REFUSED_EXIT_CODE,
                    "%s was given the critical section at 0x%08lx, which is not initialized", call,
                    static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(section)));
    }
    return section->desktop;
}

}  // namespace

extern "C" BOOL __cdecl Handheld_EventModify(HANDLE event, DWORD function) {
    switch (function) {
        case EVENT_PULSE:
            return PulseEvent(event);
        case EVENT_RESET:
            return ResetEvent(event);
        case EVENT_SET:
            return SetEvent(event);
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}
HANDHELD_EXPORT(EventModify);

// As on the handheld, a section that memory cannot be found for raises STATUS_NO_MEMORY.
extern "C" void __cdecl Handheld_InitializeCriticalSection(HandheldCriticalSection* section) {
    *section = {};
    section->desktop =
        static_cast<CRITICAL_SECTION*>(HeapAlloc(GetProcessHeap(), 0, sizeof(CRITICAL_SECTION)));
    if (section->desktop == nullptr) {
        RaiseException(STATUS_NO_MEMORY, 0, 0, nullptr);
    }
    InitializeCriticalSection(section->desktop);
}
HANDHELD_EXPORT(InitializeCriticalSection);

extern "C" void __cdecl Handheld_DeleteCriticalSection(HandheldCriticalSection* section) {
    CRITICAL_SECTION* desktop = DesktopSection(section, "DeleteCriticalSection");
    DeleteCriticalSection(desktop);
    HeapFree(GetProcessHeap(), 0, desktop);
    section->desktop = nullptr;
}
HANDHELD_EXPORT(DeleteCriticalSection);

extern "C" void __cdecl Handheld_EnterCriticalSection(HandheldCriticalSection* section) {
    EnterCriticalSection(DesktopSection(section, "EnterCriticalSection"));
}
HANDHELD_EXPORT(EnterCriticalSection);

extern "C" void __cdecl Handheld_LeaveCriticalSection(HandheldCriticalSection* section) {
    LeaveCriticalSection(DesktopSection(section, "LeaveCriticalSection"));
}
HANDHELD_EXPORT(LeaveCriticalSection);
