// The handheld kernel's data page, which it maps read-only into every process at 0x5800 on
// x86 (Windows CE 5.0 reference, "GetCurrentThreadId"; kfuncs.h): the program reads the
// running thread's id from its slot at 0x5808 with a plain load. Nothing can be mapped
// there under Wine (the lowest 64 KB stay free), so each such load faults, and a vectored
// exception handler completes it: for a load of the slot by one of the two forms of MOV
// inside the program's image, it puts the thread's id in the destination register and
// steps over the instruction. Any other touch of the page ends the run with one line that
// names the instruction's address.
#pragma once

#include <windows.h>

// From here on, for the program mapped at imageStart (imageSize bytes).
void WatchKernelDataPage(const BYTE* imageStart, DWORD imageSize);
