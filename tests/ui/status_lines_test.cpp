#include "ui/status_lines.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "ui/main_window.h"

namespace {

constexpr int L = 13;  // default-font line height of a typical handheld
constexpr int B = 15;  // bold line height
constexpr int T = 15;  // line height of the status line's face
constexpr int CLIENT_WIDTH = 240;
constexpr int CLIENT_HEIGHT = 268;

// A real window with a progress bar, standing in for the updater's main window.
class StatusLines : public ::testing::Test {
protected:
    void SetUp() override {
        InitCommonControls();
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"StatusLinesTest";
        RegisterClassW(&windowClass);
        RECT frame = {0, 0, CLIENT_WIDTH, CLIENT_HEIGHT};
        AdjustWindowRect(&frame, WS_POPUP, FALSE);
        g_hMainWnd = CreateWindowExW(0, L"StatusLinesTest", L"", WS_POPUP | WS_VISIBLE, 0, 0,
                                     frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                     nullptr, windowClass.hInstance, nullptr);
        ASSERT_NE(g_hMainWnd, nullptr);
        g_hProgress = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, L,
                                      5 * L + 5, CLIENT_WIDTH - 2 * L, 20, g_hMainWnd, nullptr,
                                      windowClass.hInstance, nullptr);
        SendMessageW(g_hProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        g_lineHeight = L;
        g_boldLineHeight = B;
        g_textLineHeight = T;
        InitProgramState();
        g_hCancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ValidateRect(g_hMainWnd, nullptr);
    }

    void TearDown() override {
        DestroyWindow(g_hMainWnd);
        CloseHandle(g_hCancelEvent);
        EndProgramState();
    }

    // The part of the window that waits to be repainted; empty if nothing does.
    RECT TakeInvalidatedRect() {
        RECT r = {};
        GetUpdateRect(g_hMainWnd, &r, FALSE);
        ValidateRect(g_hMainWnd, nullptr);
        return r;
    }

    int BarPosition() { return static_cast<int>(SendMessageW(g_hProgress, PBM_GETPOS, 0, 0)); }

    UpgradeContext context{};
};

void ExpectRect(const RECT& r, LONG left, LONG top, LONG right, LONG bottom) {
    EXPECT_EQ(r.left, left);
    EXPECT_EQ(r.top, top);
    EXPECT_EQ(r.right, right);
    EXPECT_EQ(r.bottom, bottom);
}

TEST_F(StatusLines, EachLineInvalidatesOnlyItsOwnBand) {
    SetStatusText(context, L"Initialising...", UNLESS_CANCELLED);
    EXPECT_STREQ(g_statusText, L"Initialising...");
    // Down to the foot of the second line that a text too wide for one takes.
    ExpectRect(TakeInvalidatedRect(), 0, 7 * L, CLIENT_WIDTH, 8 * L + T);

    SetTimeRemaining(context, 61, UNLESS_CANCELLED);
    ExpectRect(TakeInvalidatedRect(), 0, 3 * B, CLIENT_WIDTH, 3 * B + L);
}

TEST_F(StatusLines, TimeRemainingIsMinutesAndTwoDigitSeconds) {
    struct Case {
        uint32_t seconds;
        const wchar_t* shown;
    };
    const Case cases[] = {
        {0, L"Time remaining: 0:00"},      {9, L"Time remaining: 0:09"},
        {61, L"Time remaining: 1:01"},     {3600, L"Time remaining: 60:00"},
        {6039, L"Time remaining: 100:39"}, {TIME_REMAINING_NONE, L""},
    };
    for (const Case& c : cases) {
        SetTimeRemaining(context, c.seconds, UNLESS_CANCELLED);
        EXPECT_STREQ(g_timeText, c.shown) << c.seconds;
    }
}

TEST_F(StatusLines, AfterCancellationOnlyForcedCallsTakeEffect) {
    SetStatusText(context, L"Programming...", UNLESS_CANCELLED);
    SetTimeRemaining(context, 75, UNLESS_CANCELLED);
    context.progressPercent = 40;
    SetProgress(context);
    ValidateRect(g_hMainWnd, nullptr);
    SetEvent(g_hCancelEvent);

    SetStatusText(context, L"Erasing storage...", UNLESS_CANCELLED);
    SetTimeRemaining(context, 5, UNLESS_CANCELLED);
    context.progressPercent = 90;
    SetProgress(context);
    EXPECT_STREQ(g_statusText, L"Programming...");
    EXPECT_STREQ(g_timeText, L"Time remaining: 1:15");
    EXPECT_EQ(BarPosition(), 40);
    ExpectRect(TakeInvalidatedRect(), 0, 0, 0, 0);

    SetStatusText(context, L"Cancelled", FORCED);
    EXPECT_STREQ(g_statusText, L"Cancelled");
    ExpectRect(TakeInvalidatedRect(), 0, 7 * L, CLIENT_WIDTH, 8 * L + T);
    SetTimeRemaining(context, TIME_REMAINING_NONE, FORCED);
    EXPECT_STREQ(g_timeText, L"");
}

TEST_F(StatusLines, ProgressMovesTheBar) {
    for (uint32_t percent : {0u, 1u, 57u, 100u, 0u}) {
        context.progressPercent = percent;
        SetProgress(context);
        EXPECT_EQ(BarPosition(), static_cast<int>(percent));
    }
}

TEST_F(StatusLines, OverlongTextIsCutToFitWithoutOverrun) {
    const std::wstring text(400, L'x');
    SetStatusText(context, text.c_str(), FORCED);
    EXPECT_EQ(std::wstring(g_statusText), text.substr(0, STATUS_LINE_CHARS - 1));

    SetStatusText(context, L"short", FORCED);  // no remains of the longer text
    EXPECT_STREQ(g_statusText, L"short");
}

}  // namespace
