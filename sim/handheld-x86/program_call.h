// Calling into the program as the handheld does: every procedure of the program that the
// system calls (the entry point, window procedures, thread procedures) is __cdecl, the
// caller popping the arguments ("__cdecl", C++ language reference). The stack pointer is
// checked around each call: a procedure that pops its own arguments (__stdcall) ends the run.
#pragma once

#include <windows.h>

// Calls procedure with count 32-bit arguments, the first of them arguments[0], and returns
// what it left in EAX. A procedure that moved the stack pointer ends the run with one line
// naming it, as "<described> at 0x000134a0 popped 16 bytes of its arguments: it is not
// __cdecl", described being such as "the window procedure of class VandrelMainWindow".
DWORD CallCdeclProcedure(const void* procedure, const DWORD* arguments, DWORD count,
                         const char* described);
