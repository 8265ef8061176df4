// The handheld loader's binding of a mapped program's imports: each import, by name, from
// the stand-in's own library of the handheld's name (COREDLL.dll, COMMCTRL.dll), loaded by
// its full path from the launcher's folder and never a desktop library, its address written
// to the program's import address table ("PE Format", Win32 reference, "The .idata
// Section"). The handheld program imports by bare name only.
//
// Binding ends the launch with one line, as refused: an import from a library the stand-in
// does not have, an import by ordinal, or a name the stand-in's library does not export,
// named as in "the program imports GetConsoleWindow from COREDLL.dll, which the stand-in
// does not have". A stand-in library missing from the launcher's folder ends it as a failed
// launch.
//
// The handheld can be made to lack one call: where the environment has VANDREL_WITHHELD_CALL,
// the import of that name is bound to nothing, its slot left 0 and the program started all
// the same, as the Windows CE 3.0 loader treats a call its system does not export.
#pragma once

#include "sim/handheld-x86/program_image.h"

// The stand-in's kernel, which the launcher hands the program to.
extern const char STAND_IN_KERNEL[];  // "COREDLL.dll"

// The stand-in's library of the handheld's name, from standInFolder (ending in a '\').
HMODULE LoadStandInLibrary(const wchar_t* standInFolder, const char* name);

void BindProgramImports(const ProgramImage& image, const wchar_t* standInFolder);
