#include "engine/upgrade_context.h"

#include <stdarg.h>

#include "platform/os.h"
#include "platform/wide_format.h"

HANDLE g_hCancelEvent;

namespace {

// One catch point on the worker's stack. Handlers nest (the handshake wait inside the
// whole run), so each remembers the one it shadows.
struct ErrorHandler {
    void* jumpBuffer[5];  // what __builtin_setjmp needs
    ErrorHandler* outer;
};

// The innermost active handler. Only the worker thread runs engine code, and there is
// at most one worker at a time.
ErrorHandler* g_innermostHandler = nullptr;

// The thread inside a handler's scope, 0 when there is none. The fault landing reads it
// on whichever thread faults; g_innermostHandler and g_landing only that thread uses.
volatile LONG g_threadInScope = 0;
// A fault is on its way to the innermost handler: one more on the way there means the
// handler's own record is damaged, and landing again would fault for ever.
bool g_landing = false;

[[noreturn]] void LeaveForInnermostHandler() {
    __builtin_longjmp(g_innermostHandler->jumpBuffer, 1);
}

void LeaveScope(const ErrorHandler& handler) {
    if (handler.outer == nullptr) {
        InterlockedExchange(&g_threadInScope, 0);
    }
    g_innermostHandler = handler.outer;
}

#ifndef UNDER_CE
constexpr DWORD SEVERITY_SHIFT = 30;
constexpr DWORD SEVERITY_WARNING = 2;              // error is 3; success 0 and notice 1
constexpr DWORD CUSTOMER_BIT = 0x20000000;         // set in an application's own codes only
constexpr DWORD MICROSOFT_CXX_THROW = 0xE06D7363;  // "\xE0msc"
constexpr DWORD DIRECTION_FLAG = 0x400;            // in EFlags: string operations run backwards

// The program's image as the loader mapped it, from its first byte to the size that its
// headers give, once the landing is installed.
DWORD64 g_imageStart = 0;
DWORD64 g_imageEnd = 0;

// What a call leaves below the caller's frame: the return address, and the 32 bytes of
// home space that the callee may spill its register arguments to.
constexpr DWORD64 CALL_FRAME_BYTES = 8 + 32;
constexpr DWORD64 STACK_ALIGNMENT = 16;

// Faulted inside the program's own code, or raised with one of its own codes.
bool IsOwnFault(const EXCEPTION_RECORD& record) {
    const DWORD64 at = reinterpret_cast<DWORD64>(record.ExceptionAddress);
    return (at >= g_imageStart && at < g_imageEnd) || (record.ExceptionCode & CUSTOMER_BIT) != 0;
}

bool IsFault(DWORD code) {
    switch (code) {
        case EXCEPTION_BREAKPOINT:
        case EXCEPTION_SINGLE_STEP:
        case EXCEPTION_GUARD_PAGE:
        case EXCEPTION_STACK_OVERFLOW:
        case MICROSOFT_CXX_THROW:
            return false;
        default:
            return code >> SEVERITY_SHIFT >= SEVERITY_WARNING;
    }
}

// Vectored, so it sees a fault before any frame's handler: the engine's handlers are not
// frames the platform knows of. A fault it takes resumes in LeaveForInnermostHandler, as
// if the faulting code had called it: just below the faulting stack (the exception's own
// records there are done with once execution resumes), aligned as a call leaves it, with
// the direction flag clear as a call expects it.
LONG CALLBACK LandFault(EXCEPTION_POINTERS* fault) {
    const EXCEPTION_RECORD& record = *fault->ExceptionRecord;
    if (static_cast<DWORD>(g_threadInScope) != GetCurrentThreadId() ||
        g_innermostHandler == nullptr || g_landing || !IsOwnFault(record) ||
        !IsFault(record.ExceptionCode)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    g_landing = true;
    CONTEXT& context = *fault->ContextRecord;
    context.Rsp = (context.Rsp & ~(STACK_ALIGNMENT - 1)) - CALL_FRAME_BYTES;
    context.Rip = reinterpret_cast<DWORD64>(LeaveForInnermostHandler);
    context.EFlags &= ~DIRECTION_FLAG;
    return EXCEPTION_CONTINUE_EXECUTION;
}

#endif

}  // namespace

UpgradeContext& InitContext(UpgradeContext& context) {
    context.portHandle = 0;
    context.errorText[0] = L'\0';
    context.progressPercent = 0;
    return context;
}

void UpgradeError(UpgradeContext& context, const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // A message that does not fit is cut, never run past the buffer: its last character
    // is a terminator, whichever way the C library ends a text that fills the buffer.
    vswprintf(context.errorText, ERROR_TEXT_CHARS, format, arguments);
    context.errorText[ERROR_TEXT_CHARS - 1] = L'\0';
    va_end(arguments);
    LeaveForInnermostHandler();
}

bool RunCatchingUpgradeErrors(UpgradeContext& context, void (*step)(UpgradeContext&)) {
    ErrorHandler handler;
    handler.outer = g_innermostHandler;
    if (__builtin_setjmp(handler.jumpBuffer) != 0) {
        g_landing = false;
        LeaveScope(handler);
        return false;
    }
    g_innermostHandler = &handler;
    InterlockedExchange(&g_threadInScope, static_cast<LONG>(GetCurrentThreadId()));
    step(context);
    LeaveScope(handler);
    return true;
}

#ifdef UNDER_CE
// The handheld has no vectored handlers, so there a fault inside a run ends the program, as
// it did before the landing. A handheld compiler with structured exception handling would
// put __try/__except around the run instead (UpgradeThread's call of RunUpdateSteps), its
// filter taking the faults that LandFault takes; GCC has no __try.
void InstallFaultLanding() {}
#else
void InstallFaultLanding() {
    static PVOID installed = nullptr;
    if (installed == nullptr) {
        const auto* image = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
        const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
        g_imageStart = reinterpret_cast<DWORD64>(image);
        g_imageEnd = g_imageStart + headers->OptionalHeader.SizeOfImage;
        installed = AddVectoredExceptionHandler(TRUE, LandFault);
    }
}
#endif

bool IsCancelled() {
    return WaitForSingleObject(g_hCancelEvent, 0) == WAIT_OBJECT_0;
}

void ClosePort(UpgradeContext& context) {
    if (context.portHandle != 0 && context.portHandle != INVALID_HANDLE_VALUE) {
        os::CloseHandle(context.portHandle);
    }
    context.portHandle = 0;
}
