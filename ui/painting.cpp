#include "ui/painting.h"

#include <windows.h>

#include "engine/payload_images.h"
#include "platform/wide_format.h"
#include "ui/fitted_line.h"
#include "ui/main_window.h"
#include "ui/status_lines.h"

namespace {

const wchar_t PRODUCT_TITLE[] = L"Tavrin Kivo GPS 5120/5240";
const wchar_t NOTICE_MARK[] = L"*";
const wchar_t HEADING_FORMAT[] = L"%ls ROM upgrade";
const wchar_t NOTICE_LINE_1[] = L"Only for use with Tavrin Kivo";
const wchar_t NOTICE_LINE_2[] = L"GPS receivers that have an external";
const wchar_t NOTICE_LINE_3[] = L"antenna connector";

constexpr COLORREF BLACK = RGB(0, 0, 0);
constexpr COLORREF RED = RGB(255, 0, 0);

// Rows in bold lines (B); the status and time lines' rows are the status calls' own.
constexpr int TITLE_ROW = 1;
constexpr int HEADING_ROW = 2;
constexpr int NOTICE_ROW = 9;  // and the two rows below it

// Fixed pixel offsets from the left margin; they do not scale with the fonts, so the
// title's mark sits at the same place whatever the title's width.
constexpr int TITLE_MARK_OFFSET = 190;
constexpr int NOTICE_TEXT_OFFSET = 12;

constexpr int HEADING_CHARS = 64;

void DrawTextAt(HDC dc, int x, int y, const wchar_t* text) {
    ExtTextOutW(dc, x, y, 0, nullptr, text, static_cast<UINT>(wcslen(text)), nullptr);
}

}  // namespace

void PaintMainWindow() {
    const int L = g_lineHeight;
    const int B = g_boldLineHeight;

    PAINTSTRUCT paint;
    HDC dc = BeginPaint(g_hMainWnd, &paint);
    SelectObject(dc, g_normalFont);

    SelectObject(dc, g_boldFont);
    DrawTextAt(dc, L, TITLE_ROW * B, PRODUCT_TITLE);

    SetTextColor(dc, RED);
    SelectObject(dc, g_normalFont);
    DrawTextAt(dc, L + TITLE_MARK_OFFSET, TITLE_ROW * B, NOTICE_MARK);

    SetTextColor(dc, BLACK);
    wchar_t heading[HEADING_CHARS];
    swprintf(heading, HEADING_CHARS, HEADING_FORMAT, ROM_VERSION);
    SelectObject(dc, g_boldFont);
    DrawTextAt(dc, L, HEADING_ROW * B, heading);

    SelectObject(dc, g_normalFont);
    SetTextColor(dc, RED);
    DrawTextAt(dc, L, NOTICE_ROW * B, NOTICE_MARK);
    DrawTextAt(dc, L + NOTICE_TEXT_OFFSET, NOTICE_ROW * B, NOTICE_LINE_1);
    DrawTextAt(dc, L + NOTICE_TEXT_OFFSET, (NOTICE_ROW + 1) * B, NOTICE_LINE_2);
    DrawTextAt(dc, L + NOTICE_TEXT_OFFSET, (NOTICE_ROW + 2) * B, NOTICE_LINE_3);
    SetTextColor(dc, BLACK);

    // The two shared lines come last, and may take all the width right of the margin. A
    // status broken onto a second line ends above the notice where the bold line is as
    // high as the handheld's; where fonts put the notice closer, the status, which the
    // owner must read, is drawn over it rather than under it.
    const int lineWidth = g_clientWidth - L;
    EnterCriticalSection(&g_statusLock);
    DrawFittedLine(dc, L, STATUS_ROW * L, lineWidth, L, g_statusText);
    DrawFittedLine(dc, L, TIME_ROW * B, lineWidth, L, g_timeText);
    LeaveCriticalSection(&g_statusLock);

    // A one-pixel frame just outside the progress bar, not filled, so that it touches
    // none of the bar's own pixels.
    const ControlPlacement bar =
        LayOutControls(g_lineHeight, g_clientWidth, g_clientHeight).progressBar;
    SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, bar.x - 1, bar.y - 1, bar.x + bar.width + 1, bar.y + bar.height + 1);

    EndPaint(g_hMainWnd, &paint);
}
