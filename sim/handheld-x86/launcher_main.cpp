// handheld-launch: runs a Windows CE 3.0 program for x86 on the simulated handheld, playing
// the handheld's loader. It maps the program's image itself (program_image.h), binds its
// imports to the stand-in's COREDLL.dll and COMMCTRL.dll beside this launcher
// (import_binding.h), protects its sections and hands it to COREDLL, which starts it at its
// entry point as the handheld's kernel does and ends the process when it ends
// (handheld_program.h).
//
//   handheld-launch PROGRAM.exe [ARGUMENTS]
//
// The program is passed what follows its name on the command line. Whatever ends the run
// says so in one line on the error output, starting "handheld stand-in: ". Exit codes:
//   the program's own   it ended (TerminateProcess of its own process, or its entry point
//                       returned); the line says with what, and how often it called
//                       SystemIdleTimerReset
//   120                 the program is not as the handheld needs it, and the line says why:
//                       a procedure that pops its own arguments (not __cdecl), an import the
//                       stand-in does not have, a touch of the kernel's data page other than
//                       loading the thread's id, a file that is no Windows CE x86 program
//   121                 no program was started: bad usage, a file that cannot be read, or the
//                       stand-in's libraries missing beside the launcher
//   122                 the program ended with an exception it did not handle; the line names
//                       the exception and its address
#include <windows.h>

#include "sim/handheld-x86/handheld_program.h"
#include "sim/handheld-x86/import_binding.h"
#include "sim/handheld-x86/last_line.h"
#include "sim/handheld-x86/program_image.h"

namespace {

// The handheld's CreateProcess takes no start-up information, so nothing chooses how the
// program's first window is shown: the program is told to show it.
constexpr int SHOW_COMMAND = SW_SHOW;

// What follows the first argument of a command line and the blanks after it, by the
// system's rules for where an argument ends: at a blank outside double quotes.
wchar_t* SkipArgument(wchar_t* line) {
    bool quoted = false;
    for (; *line != L'\0' && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
        if (*line == L'"') {
            quoted = !quoted;
        }
    }
    while (*line == L' ' || *line == L'\t') {
        ++line;
    }
    return line;
}

// The launcher's folder, ending in a '\'.
void FindStandInFolder(wchar_t (&folder)[MAX_PATH]) {
    const DWORD chars = GetModuleFileNameW(nullptr, folder, MAX_PATH);
    if (chars == 0 || chars == MAX_PATH) {
        EndWithLine(LAUNCH_FAILED_EXIT_CODE, "the launcher cannot find its own folder");
    }
    wchar_t* end = folder + chars;
    while (end > folder && end[-1] != L'\\' && end[-1] != L'/') {
        --end;
    }
    *end = L'\0';
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        EndWithLine(LAUNCH_FAILED_EXIT_CODE, "usage: handheld-launch PROGRAM.exe [ARGUMENTS]");
    }
    wchar_t standInFolder[MAX_PATH];
    FindStandInFolder(standInFolder);

    const ProgramImage image = MapProgramImage(argv[1]);
    BindProgramImports(image, standInFolder);
    ProtectProgramImage(image);

    const HMODULE kernel = LoadStandInLibrary(standInFolder, STAND_IN_KERNEL);
    const auto run = reinterpret_cast<RunHandheldProgramCall>(reinterpret_cast<void*>(
        GetProcAddress(kernel, MAKEINTRESOURCEA(RUN_HANDHELD_PROGRAM_ORDINAL))));
    if (run == nullptr) {
        EndWithLine(LAUNCH_FAILED_EXIT_CODE, "the stand-in's %s has no way in for the launcher",
                    STAND_IN_KERNEL);
    }
    HandheldProgram program;
    program.imageStart = image.start;
    program.imageSize = image.size;
    program.entryPoint = image.start + image.headers->OptionalHeader.AddressOfEntryPoint;
    program.commandLine = SkipArgument(SkipArgument(GetCommandLineW()));
    program.showCommand = SHOW_COMMAND;
    run(program);
}
