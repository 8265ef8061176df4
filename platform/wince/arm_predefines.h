// What a Windows compiler predefines and Debian's bare ARM compiler does not, read before any
// other header by the handheld's ARM build (cmake/wince-arm.cmake): mingw-w64's headers take
// these for granted, and derive the rest from __arm__.
#pragma once

#define _WIN32 1

// Windows CE on ARM has one calling convention, for the system's calls and the program's
// callbacks alike: the first four words in r0-r3, the rest on the stack, the result in r0
// ("ARM Parameter Passing", "ARM Return Values", Windows CE .NET reference). The compiler's
// own convention agrees for everything this program passes, words and pointers; it would not
// for a 64-bit value or a double (4-byte aligned on the handheld, 8-byte in the compiler's) or
// a structure returned by value (always through memory on the handheld). The x86 convention
// keywords name nothing on ARM.
#define __cdecl
#define __stdcall

// A call into the handheld's libraries goes through an import stub that the build makes
// (tools/handheld_imports.py); nothing else of the headers' storage classes applies.
#define __declspec(x)
