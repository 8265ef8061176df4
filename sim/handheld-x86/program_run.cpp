// The program's life in the stand-in, from the launcher's RunHandheldProgram to its end.
//
// The handheld's kernel starts a program at its entry point with WinMain's four arguments
// (the instance being the image's base, no previous instance, the command line after the
// program's name, the show command), __cdecl, on the process's first thread. A program ends
// with TerminateProcess of its own process's pseudo-handle, 0x42 (Windows CE 5.0 reference,
// "GetCurrentProcess"; kfuncs.h), which the stand-in takes as the end of the run: one closing
// line, "the program ended with CODE; SystemIdleTimerReset was called N times", and the
// process's exit code is the program's. An entry point that returns ends the program the
// same way, with what it returned.
//
// A fault that the program does not handle ends it on the handheld. Here it ends the run
// with one line naming the exception and the address it happened at, where Wine would
// start its debugger and wait.
//
// SystemIdleTimerReset (Windows CE SDK reference, MSDN Library April 2000) puts off the
// handheld's suspending; the stand-in, which never suspends, counts the calls for the
// closing line.
#include <windows.h>

#include "sim/handheld-x86/handheld_export.h"
#include "sim/handheld-x86/handheld_program.h"
#include "sim/handheld-x86/kernel_data_page.h"
#include "sim/handheld-x86/last_line.h"
#include "sim/handheld-x86/program_call.h"

namespace {

const HANDLE CURRENT_PROCESS = reinterpret_cast<HANDLE>(0x42);
constexpr DWORD ENTRY_POINT_ARGUMENTS = 4;
const char ENTRY_POINT[] = "the entry point";

volatile LONG g_idleTimerResets;

[[noreturn]] void EndProgram(UINT exitCode) {
    EndWithLine(exitCode, "the program ended with %u; SystemIdleTimerReset was called %ld times",
                exitCode, static_cast<long>(g_idleTimerResets));
}

LONG WINAPI OnUnhandledFault(EXCEPTION_POINTERS* fault) {
    const EXCEPTION_RECORD& record = *fault->ExceptionRecord;
    EndWithLine(PROGRAM_FAULTED_EXIT_CODE,
                "the program ended with the unhandled exception 0x%08lx at 0x%08lx",
                record.ExceptionCode,
                static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress)));
}

}  // namespace

extern "C" [[noreturn]] void __cdecl RunHandheldProgram(const HandheldProgram& program) {
    WatchKernelDataPage(program.imageStart, program.imageSize);
    SetUnhandledExceptionFilter(OnUnhandledFault);
    const DWORD arguments[ENTRY_POINT_ARGUMENTS] = {
        static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(program.imageStart)), 0,
        static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(program.commandLine)),
        static_cast<DWORD>(program.showCommand)};
    EndProgram(
        CallCdeclProcedure(program.entryPoint, arguments, ENTRY_POINT_ARGUMENTS, ENTRY_POINT));
}

extern "C" BOOL __cdecl Handheld_TerminateProcess(HANDLE process, UINT exitCode) {
    if (process == CURRENT_PROCESS) {
        EndProgram(exitCode);
    }
    return TerminateProcess(process, exitCode);
}
HANDHELD_EXPORT(TerminateProcess);

extern "C" void __cdecl Handheld_SystemIdleTimerReset() {
    InterlockedIncrement(&g_idleTimerResets);
}
HANDHELD_EXPORT(SystemIdleTimerReset);
