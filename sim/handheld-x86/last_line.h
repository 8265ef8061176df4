// How the stand-in ends the process: one line on the error output, starting
// "handheld stand-in: ", and the exit code given, at once (no DLL's detach code runs).
// Shared by the launcher and COREDLL.dll; each links its own copy, and both write to the
// process's one error output.
#pragma once

#include <windows.h>

// The program is not as the handheld needs it (a procedure that is not __cdecl, a call the
// stand-in does not have, a touch of the kernel's data page the stand-in does not model),
// or the stand-in cannot do what the handheld would (a window class more than it keeps).
constexpr UINT PROGRAM_REFUSED_EXIT_CODE = 120;
// The launcher could not start a program at all: bad usage, a file it cannot read, or the
// stand-in's own libraries missing beside it.
constexpr UINT LAUNCH_FAILED_EXIT_CODE = 121;
// The program faulted and did not handle the fault, which ends a program on the handheld.
constexpr UINT PROGRAM_FAULTED_EXIT_CODE = 122;

[[noreturn]] void EndWithLine(UINT exitCode, const char* format, ...)
    __attribute__((format(gnu_printf, 2, 3)));
