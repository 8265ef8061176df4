#include "engine/update_run.h"

#include "engine/keep_awake.h"
#include "engine/programming_protocol.h"
#include "engine/run_report.h"
#include "engine/serial_link.h"
#include "engine/upgrade_context.h"

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
        SetStatusText(context, UPDATE_NOT_SUPPORTED_TEXT, FORCED);
    }
    ClosePort(context);
}

}  // namespace

DWORD WINAPI UpgradeThread(LPVOID) {
    UpgradeContext context;
    InitContext(context);
    BeginKeepingAwake();
    if (!RunCatchingUpgradeErrors(context, RunUpdateSteps)) {
        // The bar is reset by the window when it sees the run finish; the raise sites
        // that fire while a time is shown have cleared the time line themselves.
        SetStatusText(context, context.errorText, FORCED);
        ClosePort(context);
    } else {
        if (IsCancelled()) {
            SetStatusText(context, CANCELLED_TEXT, FORCED);
            ResetProgress();
        }
        ClosePort(context);
        SetTimeRemaining(context, TIME_REMAINING_NONE, FORCED);
    }
    EndKeepingAwake();
    ReportRunFinished();
    return 0;
}
