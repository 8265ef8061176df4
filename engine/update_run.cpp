#include "engine/update_run.h"

#include <commctrl.h>

#include "engine/programming_protocol.h"
#include "engine/serial_link.h"
#include "engine/upgrade_context.h"
#include "ui/main_window.h"
#include "ui/status_lines.h"

namespace {

const wchar_t CANCELLED_TEXT[] = L"Cancelled";

// The run's steps. Once cancelled, the remaining steps are skipped; a step under way
// drains without port traffic or progress output.
void RunUpdateSteps(UpgradeContext& context) {
    OpenReceiverPort(context);
    if (!IsCancelled()) {
        SwitchToHighSpeed(context);
    }
    if (!IsCancelled()) {
        SendLoader(context);
    }
    if (!IsCancelled() && !ProgramRom(context)) {
        SetStatusText(context, UPDATE_NOT_SUPPORTED_TEXT, true);
    }
    ClosePort(context);
}

}  // namespace

DWORD WINAPI UpgradeThread(LPVOID) {
    UpgradeContext context;
    InitContext(context);
    if (!RunCatchingUpgradeErrors(context, RunUpdateSteps)) {
        // The bar is reset by the window when it sees the run finish; the raise sites
        // that fire while a time is shown have cleared the time line themselves.
        SetStatusText(context, context.errorText, true);
        ClosePort(context);
    } else {
        if (IsCancelled()) {
            SetStatusText(context, CANCELLED_TEXT, true);
            SendMessageW(g_hProgress, PBM_SETPOS, 0, 0);
        }
        ClosePort(context);
        SetTimeRemaining(context, TIME_REMAINING_NONE, true);
    }
    PostMessageW(g_hMainWnd, WM_UPGRADE_FINISHED, 0, 0);
    return 0;
}
