#include "engine/upgrade_context.h"

#include <cstdarg>
#include <cwchar>

#include "platform/os.h"

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
    // A message that does not fit is cut, never run past the buffer.
    if (vswprintf(context.errorText, ERROR_TEXT_CHARS, format, arguments) < 0) {
        context.errorText[ERROR_TEXT_CHARS - 1] = L'\0';
    }
    va_end(arguments);
    __builtin_longjmp(g_innermostHandler->jumpBuffer, 1);
}

bool RunCatchingUpgradeErrors(UpgradeContext& context, void (*step)(UpgradeContext&)) {
    ErrorHandler handler;
    handler.outer = g_innermostHandler;
    if (__builtin_setjmp(handler.jumpBuffer) != 0) {
        g_innermostHandler = handler.outer;
        return false;
    }
    g_innermostHandler = &handler;
    step(context);
    g_innermostHandler = handler.outer;
    return true;
}

bool IsCancelled() {
    return WaitForSingleObject(g_hCancelEvent, 0) == WAIT_OBJECT_0;
}

void ClosePort(UpgradeContext& context) {
    if (context.portHandle != 0 && context.portHandle != INVALID_HANDLE_VALUE) {
        os::CloseHandle(context.portHandle);
    }
    context.portHandle = 0;
}
