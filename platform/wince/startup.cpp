// The handheld's start-up code. Its kernel starts a program at WinMainCRTStartup with
// WinMain's four arguments; there is no C runtime start-up to run first (the handheld's C
// library lives in coredll and needs none), and nothing here needs one: the program has no
// objects built at start-up. As a C runtime does, it calls the program's wWinMain by the
// declaration the system's headers give.
#include <windows.h>

#include "platform/wince/import_check.h"

extern "C" int WINAPI WinMainCRTStartup(HINSTANCE instance, HINSTANCE previousInstance,
                                        LPWSTR commandLine, int showCommand) {
    // A call the handheld lacks ends the program before it makes anything. It returns,
    // calling nothing more: the process's only thread returning from its entry point ends the
    // process with what it returns (ExitThread, Windows CE 5.0 reference), and TerminateProcess
    // may be the call that is missing.
    if (!EveryImportIsThere()) {
        return 0;
    }
    // Ends the whole process, as a C runtime's start-up would: a thread still running
    // must not keep it alive once the window has gone.
    ExitProcess(static_cast<UINT>(wWinMain(instance, previousInstance, commandLine, showCommand)));
    return 0;  // not reached: the handheld's headers do not mark TerminateProcess as not returning
}
