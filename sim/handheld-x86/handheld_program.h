// What the launcher (the handheld's loader) hands the stand-in's COREDLL.dll (its kernel)
// once it has mapped and bound a program: the image and how to start it. COREDLL then owns
// the process: it watches the kernel's data page for the program, calls the entry point as
// the handheld does, and ends the process when the program ends; RunHandheldProgram does not
// return.
//
// COREDLL exports RunHandheldProgram by ordinal only (coredll.def), so that no program can
// import it by name: the launcher binds imports by name alone.
#pragma once

#include <windows.h>

struct HandheldProgram {
    BYTE* imageStart;  // the mapped image, its headers first; also the program's instance
    DWORD imageSize;
    const void* entryPoint;  // WinMainCRTStartup
    wchar_t* commandLine;    // what follows the program's name, as the handheld passes it
    int showCommand;
};

constexpr WORD RUN_HANDHELD_PROGRAM_ORDINAL = 1;  // as coredll.def gives it
typedef void(__cdecl* RunHandheldProgramCall)(const HandheldProgram& program)
    __attribute__((noreturn));
