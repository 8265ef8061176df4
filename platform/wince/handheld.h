// What the handheld's system has that the desktop's Windows headers lack, or make another way.
// The handheld builds compile against the compiler's own (desktop) Windows headers and take
// this file before every source (cmake/wince-*.cmake force-include it), so that the program's
// sources call the same names on both and only here does the handheld's form show.
//
// Each declaration names the Windows CE reference page it follows. Where the handheld's own
// headers make a call into an inline function or a macro, so does this file; the desktop's
// declaration of the same name is then hidden behind the macro.
#pragma once

#ifndef UNDER_CE
#error "the handheld's declarations are for the handheld builds only"
#endif

// On Windows CE for x86 every system call and every procedure the system calls back is
// __cdecl, the caller popping the arguments: the handheld's compilers define __stdcall and
// __fastcall as cdecl, and so does this file, before any header reads them.
#if defined(__i386__)
#undef __stdcall
#define __stdcall __attribute__((__cdecl__))
#undef __fastcall
#define __fastcall __attribute__((__cdecl__))
#endif

#include <windows.h>

#include "power_status_ex.h"

extern "C" {

// EventModify (Windows CE 5.0 reference, "EventModify"; kfuncs.h): the one call behind
// SetEvent, ResetEvent and PulseEvent, which coredll does not export by those names.
constexpr DWORD EVENT_RESET = 2;
constexpr DWORD EVENT_SET = 3;
__declspec(dllimport) BOOL WINAPI EventModify(HANDLE event, DWORD function);

// SystemIdleTimerReset (Windows CE SDK reference, MSDN Library April 2000): puts off the
// handheld's suspending for one whole idle timeout.
__declspec(dllimport) void WINAPI SystemIdleTimerReset(void);

// GetSystemPowerStatusEx (Windows CE 5.0 reference, "GetSystemPowerStatusEx"): the power
// status with the backup battery's.
__declspec(dllimport) BOOL WINAPI GetSystemPowerStatusEx(PSYSTEM_POWER_STATUS_EX status,
                                                         BOOL update);

// InterlockedExchange (Windows CE 5.0 reference): a call of coredll's, where the desktop's
// headers make an intrinsic of it (on ARM one over an instruction that ARMv4 lacks).
#undef InterlockedExchange
__declspec(dllimport) LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value);

}  // extern "C"

// The kernel's data page (Windows CE 5.0 reference, "GetCurrentThreadId", "GetCurrentProcess";
// kfuncs.h): mapped read-only into every process, at 0x5800 on x86 and 0xFFFFC800 on the
// other processors. Its handle table starts 4 bytes in; the kernel keeps the running
// thread's id in its second entry as it switches threads.
#if defined(_M_IX86) || defined(__i386__)
constexpr ULONG_PTR HANDHELD_KERNEL_DATA = 0x5800;
#else
constexpr ULONG_PTR HANDHELD_KERNEL_DATA = 0xFFFFC800;
#endif
constexpr ULONG_PTR HANDHELD_CURRENT_THREAD_SLOT = HANDHELD_KERNEL_DATA + 4 + 4;

// The process's own pseudo-handle: the handle table's process entry (2) above its base, 64.
#undef GetCurrentProcess
#define GetCurrentProcess() (reinterpret_cast<HANDLE>(0x42))

// A plain load of the data page's slot, never folded into another instruction: the page is
// the kernel's to update.
#undef GetCurrentThreadId
#define GetCurrentThreadId() (*reinterpret_cast<const volatile DWORD*>(HANDHELD_CURRENT_THREAD_SLOT))

// Inline functions of the handheld's headers over the calls coredll exports.
#undef SetEvent
#define SetEvent(event) EventModify((event), EVENT_SET)
#undef ResetEvent
#define ResetEvent(event) EventModify((event), EVENT_RESET)
#undef ExitProcess
#define ExitProcess(code) TerminateProcess(GetCurrentProcess(), (code))
// MsgWaitForMultipleObjects (Windows CE 5.0 reference): a macro over the Ex form, which takes
// the same wake mask and no flags.
#undef MsgWaitForMultipleObjects
#define MsgWaitForMultipleObjects(count, handles, waitAll, milliseconds, wakeMask) \
    MsgWaitForMultipleObjectsEx((count), (handles), (milliseconds), (wakeMask), 0)
