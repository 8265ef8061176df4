// The handheld's start-up code. Its kernel starts a program at WinMainCRTStartup with
// WinMain's four arguments; there is no C runtime start-up to run first (the handheld's C
// library lives in coredll and needs none), and nothing here needs one: the program has no
// objects built at start-up. As a C runtime does, it calls the program's wWinMain by the
// declaration the system's headers give.
#include <windows.h>

extern "C" void WINAPI WinMainCRTStartup(HINSTANCE instance, HINSTANCE previousInstance,
                                         LPWSTR commandLine, int showCommand) {
    // Ends the whole process, as a C runtime's start-up would: a thread still running
    // must not keep it alive once the window has gone.
    ExitProcess(static_cast<UINT>(wWinMain(instance, previousInstance, commandLine, showCommand)));
}
