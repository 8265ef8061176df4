// The handheld loader's mapping of a program: a Windows CE program for x86 (PE32, machine
// i386, subsystem Windows CE GUI) read from its file and laid out in memory as its headers
// say ("PE Format", Win32 reference): the headers and each section at its address, at the
// image's own base if that is free, elsewhere with its base relocations applied. Wine's own
// loader cannot do this for the handheld (LoadLibraryExW of an exe image neither binds it
// nor relocates it), so the launcher does it itself.
//
// Order of use: MapProgramImage, then bind the imports (import_binding.h) while every page
// is still writable, then ProtectProgramImage. A file that cannot be read ends the launch
// with a line (LAUNCH_FAILED_EXIT_CODE); one that is no such program, or that needs what
// this loader does not do, ends it as refused (PROGRAM_REFUSED_EXIT_CODE).
#pragma once

#include <windows.h>

struct ProgramImage {
    BYTE* start;  // the headers, then the sections
    DWORD size;
    const IMAGE_NT_HEADERS32* headers;  // inside the mapped image
};

ProgramImage MapProgramImage(const wchar_t* path);

// Gives each section the access its characteristics ask for, and the headers read-only.
void ProtectProgramImage(const ProgramImage& image);
