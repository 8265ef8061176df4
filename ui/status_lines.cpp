#include "ui/status_lines.h"

#include <commctrl.h>

#include "platform/wide_format.h"
#include "ui/fitted_line.h"
#include "ui/main_window.h"

wchar_t g_statusText[STATUS_LINE_CHARS];
wchar_t g_timeText[STATUS_LINE_CHARS];
CRITICAL_SECTION g_statusLock;

namespace {

const wchar_t TIME_REMAINING_FORMAT[] = L"Time remaining: %u:%.2u";

// Erases and repaints a band of the full client width from top to bottom.
void InvalidateBand(LONG top, LONG bottom) {
    RECT band;
    GetClientRect(g_hMainWnd, &band);
    band.top = top;
    band.bottom = bottom;
    InvalidateRect(g_hMainWnd, &band, TRUE);
}

}  // namespace

void SetStatusText(UpgradeContext&, const wchar_t* text, bool force) {
    if (IsCancelled() && !force) {
        return;
    }
    EnterCriticalSection(&g_statusLock);
    wcsncpy(g_statusText, text, STATUS_LINE_CHARS - 1);
    g_statusText[STATUS_LINE_CHARS - 1] = L'\0';
    LeaveCriticalSection(&g_statusLock);
    // Down to the foot of a second line, which a text too wide for one takes, so that
    // nothing of a longer text remains under a shorter one; that line's text, one L below
    // the first, is as high as its face makes it.
    const LONG top = STATUS_ROW * g_lineHeight;
    InvalidateBand(top, top + (FITTED_LINES - 1) * g_lineHeight + g_textLineHeight);
}

void SetTimeRemaining(UpgradeContext&, uint32_t seconds, bool force) {
    if (IsCancelled() && !force) {
        return;
    }
    EnterCriticalSection(&g_statusLock);
    if (seconds == TIME_REMAINING_NONE) {
        g_timeText[0] = L'\0';
    } else {
        swprintf(g_timeText, STATUS_LINE_CHARS, TIME_REMAINING_FORMAT, seconds / 60, seconds % 60);
    }
    LeaveCriticalSection(&g_statusLock);
    // One line: every time text fits on one (a second would stand on the progress bar).
    const LONG top = TIME_ROW * g_boldLineHeight;
    InvalidateBand(top, top + g_lineHeight);
}

void SetProgress(UpgradeContext& context) {
    if (IsCancelled()) {
        return;
    }
    SendMessageW(g_hProgress, PBM_SETPOS, context.progressPercent, 0);
}

void ResetProgress() {
    SendMessageW(g_hProgress, PBM_SETPOS, 0, 0);
}

void ReportRunFinished() {
    PostMessageW(g_hMainWnd, WM_UPGRADE_FINISHED, 0, 0);
}
