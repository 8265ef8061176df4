// The record of one update run, the engine's single failure path, the cancellation
// poll and the closing of the receiver's port.
//
// "Upgrade" and "update" name the same thing, here and in the texts on screen: one run
// that rewrites the receiver's ROM.
//
// Failure model: a step that fails calls UpgradeError, which writes the message into
// the context and leaves the step at once. Only two places catch: the run's outermost
// handler and the protocol's handshake wait, both through RunCatchingUpgradeErrors.
// The exit is a non-local jump, not a C++ exception: it allocates nothing, so a failing
// run stays off the heap like a successful one. Engine code therefore keeps no objects
// with destructors on the stack between a catch point and a raise site.
//
// A fault of the program's own inside a handler's scope (an access violation or a division
// by zero in the program's code, an exception raised with a customer's code) leaves by the
// same exit, with errorText as it stood: the handler catches it as it would an upgrade
// error. See InstallFaultLanding.
#pragma once

#include <windows.h>

#include <stdint.h>

constexpr int ERROR_TEXT_CHARS = 256;  // including the terminator
constexpr int PORT_NAME_CHARS = 32;    // including the terminator

struct UpgradeContext {
    HANDLE portHandle;  // 0 until opened, INVALID_HANDLE_VALUE after a failed open
    wchar_t errorText[ERROR_TEXT_CHARS];
    uint16_t crcTable[256];
    bool isCompactFlash;
    uint32_t progressPercent;  // highest position sent to the progress bar, 0 to 100
    wchar_t portName[PORT_NAME_CHARS];
};

// The manual-reset event that cancels a run: owned here, created, reset and set by the
// window, only read by the engine.
extern HANDLE g_hCancelEvent;

// Port closed (0), no error text, progress 0. Returns the context.
UpgradeContext& InitContext(UpgradeContext& context);

// Formats the message (wide printf rules; %ls for a wide string argument) into
// context.errorText, cut to fit, and leaves the current step for the innermost handler.
[[noreturn]] void UpgradeError(UpgradeContext& context, const wchar_t* format, ...);

// Runs step(context) as a catch-all scope. True when the step ran to its end; false
// when an upgrade error or a fault left it, context.errorText then holding the message of
// the last upgrade error (a fault writes none).
bool RunCatchingUpgradeErrors(UpgradeContext& context, void (*step)(UpgradeContext&));

// Makes the program's own faults land in the innermost handler, once for the process;
// further calls change nothing. Call it before the first run.
//
// A fault is the program's own when it happens at an address inside the program's image
// (the bounds are read here, once) or when it was raised with a code that has the customer
// bit (0x20000000) set, as only an application's own codes do. Everything else, a fault
// inside a system or C-library call above all, goes on to whatever handles it otherwise:
// such a call may hold a lock (the heap's, the loader's, a critical section) or a handle
// it has just made, and leaving it half-way would turn a crash into a hang or a leak.
//
// Of the program's own, a fault lands when its code's severity says warning or error (a
// C++ throw of GCC's, 0x20474343, has severity success and passes by), except a
// debugger's breakpoint and single step, a guard page, a stack overflow (it used up the
// stack's guard page, which nothing here puts back: the thread would go on with no check
// against the next overflow) and a C++ throw of Microsoft's, each meant for a handler of
// its own. The landing clears the direction flag, which a fault inside a backward copy
// leaves set and every function called afterwards expects clear.
//
// Only the thread inside RunCatchingUpgradeErrors is watched; a fault on any other thread,
// or outside every handler, goes on to whatever handles it otherwise.
//
// The handheld has no vectored handlers: there it does nothing, and a fault ends the program.
void InstallFaultLanding();

// True exactly when the cancel event is signalled. Never blocks, changes nothing.
bool IsCancelled();

// Closes the port if it is open (neither 0 nor INVALID_HANDLE_VALUE); portHandle is 0
// afterwards in every case, so any number of calls close the handle at most once.
void ClosePort(UpgradeContext& context);
