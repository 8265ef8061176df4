// The handheld program's check, at start-up, that the handheld has every call it imports.
//
// The Windows CE 3.0 loader does not refuse a program that imports a call its system lacks:
// it leaves that call's import slot 0, and the program faults when it first makes the call,
// which for PurgeComm, ReadFile or _vsnwprintf is in the middle of a run, the receiver's ROM
// already erased. So before anything else the program reads each of its slots.
#pragma once

#include <windows.h>

// One imported call: the slot the loader fills with its address, and its name as imported.
struct HandheldImport {
    const void* const volatile* slot;  // read as the loader left it
    const wchar_t* name;
};

// Every call the program imports, ended by an entry whose slot is null. Made by the link
// from the calls the program's objects make (tools/handheld_imports.py writes it beside the
// imports themselves).
extern "C" const HandheldImport HANDHELD_IMPORTS[];

// True when the handheld has every call the program imports. Otherwise it says so first, in
// the box "This handheld lacks NAME, which the update needs" (no owner window, the program's
// caption, MB_OK | MB_ICONERROR), unless MessageBoxW is itself missing; the program then ends
// as its other start-up failures do, with exit code 0, before it has made anything.
bool EveryImportIsThere();
