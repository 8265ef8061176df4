#include "sim/handheld-x86/program_call.h"

#include "sim/handheld-x86/last_line.h"

// program_call.S: the call itself. *moved is how far the procedure moved the stack pointer
// past its arguments: 0 for a __cdecl procedure, the bytes it popped for a __stdcall one.
extern "C" DWORD __cdecl CallProgramProcedure(const void* procedure, const DWORD* arguments,
                                              DWORD count, LONG* moved);

DWORD CallCdeclProcedure(const void* procedure, const DWORD* arguments, DWORD count,
                         const char* described) {
    LONG moved = 0;
    const DWORD result = CallProgramProcedure(procedure, arguments, count, &moved);
    const unsigned long address = reinterpret_cast<ULONG_PTR>(procedure);
    if (moved > 0) {
        EndWithLine(PROGRAM_REFUSED_EXIT_CODE,
                    "%s at 0x%08lx popped %ld bytes of its arguments: it is not __cdecl", described,
                    address, moved);
    }
    if (moved < 0) {
        EndWithLine(PROGRAM_REFUSED_EXIT_CODE,
                    "%s at 0x%08lx returned with %ld bytes more on the stack than it was "
                    "called with",
                    described, address, -moved);
    }
    return result;
}
