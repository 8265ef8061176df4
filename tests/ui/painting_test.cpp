#include "ui/painting.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/program_texts.h"
#include "tests/ui/window_harness.h"
#include "ui/fitted_line.h"
#include "ui/point_font.h"

namespace {

using harness::Capture;
using harness::InkBox;
using harness::IsDark;
using harness::IsReddish;

// How many pixels of ink a text leaves drawn alone in a font, black on white.
int InkOf(const wchar_t* text, HFONT font) {
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof info.bmiHeader, 600, -40, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, bitmap);
    SelectObject(dc, font);
    PatBlt(dc, 0, 0, 600, 40, WHITENESS);
    ExtTextOutW(dc, 0, 0, 0, nullptr, text, UINT(wcslen(text)), nullptr);
    GdiFlush();
    int ink = 0;
    for (int i = 0; i < 600 * 40; ++i) {
        ink += IsDark(static_cast<const uint32_t*>(bits)[i] & 0xFFFFFF) ? 1 : 0;
    }
    DeleteDC(dc);
    DeleteObject(bitmap);
    return ink;
}

class Painting : public harness::MainWindowTest {
protected:
    Capture Repainted() {
        InvalidateRect(g_hMainWnd, nullptr, TRUE);
        return harness::CaptureClient(g_hMainWnd);
    }
    // Rows top to bottom across the client width, and the ink of one kind in them.
    static RECT Rows(int top, int bottom) { return RECT{0, top, g_clientWidth, bottom}; }
    static int Count(const Capture& face, RECT area, bool (*isInk)(uint32_t)) {
        int ink = 0;
        InkBox(face, area, isInk, &ink);
        return ink;
    }
    // Glyphs start a pixel or two right of where they are drawn (their left bearing).
    static void ExpectStartsAt(const RECT& ink, int x) {
        EXPECT_GE(ink.left, x);
        EXPECT_LE(ink.left, x + 2);
    }
};

// The bar stands at x = L, y = 5 x L + 5, W - 2 x L wide and 20 high; the frame is drawn one
// pixel outside each of its edges. Also for the handheld's units (L = 13, B = 15 and a
// client area 240 wide: the bar at (13, 70), 214 x 20), painted with the window's bar
// hidden, as it stands where the window's own units put it.
TEST_F(Painting, TheFrameRunsOnePixelOutsideTheBarAndTouchesNoneOfIt) {
    const int L = g_lineHeight, W = g_clientWidth;
    const struct {
        int L, B, W;
        RECT bar;
        bool barThere;  // the window's bar stands there
    } units[] = {{L, g_boldLineHeight, W, {L, 5 * L + 5, W - L, 5 * L + 25}, true},
                 {13, 15, 240, {13, 70, 227, 90}, false}};
    for (const auto& u : units) {
        SCOPED_TRACE(testing::Message() << "L = " << u.L << ", W = " << u.W);
        g_lineHeight = u.L;
        g_boldLineHeight = u.B;
        g_clientWidth = u.W;
        const RECT& bar = u.bar;
        // Hidden, the bar's own pixels hide no fault; shown, it must be untouched.
        for (bool barShown : {false, true}) {
            if (barShown && !u.barThere) {
                break;
            }
            ShowWindow(g_hProgress, barShown ? SW_SHOW : SW_HIDE);
            const Capture face = Repainted();
            const auto within = [&](LONG x, LONG y, LONG margin) {
                return x >= bar.left - margin && x < bar.right + margin && y >= bar.top - margin &&
                       y < bar.bottom + margin;
            };
            for (LONG y = bar.top - 3; y < bar.bottom + 3; ++y) {
                for (LONG x = bar.left - 3; x < bar.right + 3; ++x) {
                    const uint32_t pixel = face.At(x, y);
                    if (!within(x, y, 0)) {
                        ASSERT_EQ(pixel, within(x, y, 1) ? 0u : 0xFFFFFFu) << x << "," << y;
                    } else if (!barShown) {
                        ASSERT_EQ(pixel, 0xFFFFFFu) << "inside the bar at " << x << "," << y;
                    }
                }
            }
        }
    }
}

TEST_F(Painting, TitleAndHeadingAreBoldAtTheMarginOnTheFirstTwoBoldLines) {
    const int L = g_lineHeight, B = g_boldLineHeight;
    const Capture face = Repainted();
    const struct {
        int row;
        const wchar_t* text;
    } lines[] = {{1, L"Tavrin Kivo GPS 5120/5240"}, {2, L"2.3.7 ROM upgrade"}};
    for (const auto& line : lines) {
        const RECT band = {0, line.row * B, L + 190, (line.row + 1) * B};  // left of the mark
        int ink = 0;
        ExpectStartsAt(InkBox(face, band, IsDark, &ink), L);
        EXPECT_EQ(ink, InkOf(line.text, g_boldFont)) << line.row;
        EXPECT_NE(ink, InkOf(line.text, g_normalFont)) << line.row;
        EXPECT_EQ(Count(face, band, IsReddish), 0) << line.row;
    }
}

TEST_F(Painting, TheMarksAndTheNoticeAreRed) {
    const int L = g_lineHeight, B = g_boldLineHeight;
    const int markInk = InkOf(L"*", g_normalFont);
    const Capture face = Repainted();
    // The title's mark: 190 pixels right of the margin, whatever the title's width.
    int ink = 0;
    ExpectStartsAt(InkBox(face, Rows(B, 2 * B), IsReddish, &ink), L + 190);
    EXPECT_EQ(ink, markInk);

    // The notice's mark, then its three lines 12 pixels right of the margin.
    ExpectStartsAt(InkBox(face, RECT{0, 9 * B, L + 12, 10 * B}, IsReddish, &ink), L);
    EXPECT_EQ(ink, markInk);
    const struct {
        int row;
        const wchar_t* text;
    } notice[] = {{9, L"Only for use with Tavrin Kivo"},
                  {10, L"GPS receivers that have an external"},
                  {11, L"antenna connector"}};
    for (const auto& line : notice) {
        const RECT band = {L + 12, line.row * B, g_clientWidth, (line.row + 1) * B};
        ExpectStartsAt(InkBox(face, band, IsReddish, &ink), L + 12);
        EXPECT_EQ(ink, InkOf(line.text, g_normalFont)) << line.row;
        EXPECT_EQ(Count(face, Rows(line.row * B, (line.row + 1) * B), IsDark), 0) << line.row;
    }
}

TEST_F(Painting, TheSharedLinesDrawInTheirBandsAndLeaveNoRemains) {
    const int L = g_lineHeight, B = g_boldLineHeight;
    const RECT timeBand = Rows(3 * B, 3 * B + L);
    const RECT statusBand = Rows(7 * L, 8 * L);
    UpgradeContext context{};
    SetStatusText(context, L"Couldn't open GPS receiver port (COM5:)", FORCED);
    SetTimeRemaining(context, 6039, FORCED);
    Capture face = harness::CaptureClient(g_hMainWnd);
    int ink = 0;
    ExpectStartsAt(InkBox(face, timeBand, IsDark, &ink), L);
    EXPECT_EQ(ink, InkOf(L"Time remaining: 100:39", g_normalFont));
    ExpectStartsAt(InkBox(face, statusBand, IsDark, &ink), L);
    EXPECT_EQ(ink, InkOf(L"Couldn't open GPS receiver port (COM5:)", g_normalFont));

    // Each band is erased before it is drawn again: a shorter text leaves nothing of the
    // longer one, and an empty line leaves the band blank.
    SetStatusText(context, L"Cancelled", FORCED);
    SetTimeRemaining(context, TIME_REMAINING_NONE, FORCED);
    face = harness::CaptureClient(g_hMainWnd);
    EXPECT_EQ(Count(face, statusBand, IsDark), InkOf(L"Cancelled", g_normalFont));
    // The blank part ends where the frame begins below it.
    const RECT blank = Rows(3 * B, std::min(3 * B + L, 5 * L + 4));
    EXPECT_EQ(Count(face, blank, [](uint32_t pixel) { return pixel != 0xFFFFFF; }), 0);

    // At the handheld's units (L = 13, B = 15, 240 wide; the face here is its 12 pixels), a
    // text too wide for the width right of the margin is broken at its last space that
    // fits, the rest L below; a shorter text leaves nothing of it. (The window's bar, placed
    // by its own units, is hidden.)
    ShowWindow(g_hProgress, SW_HIDE);
    const int T = g_textLineHeight;
    g_lineHeight = 13;
    g_boldLineHeight = 15;
    g_clientWidth = 240;
    const RECT firstBand = Rows(7 * 13, 8 * 13), secondBand = Rows(8 * 13, 8 * 13 + T);
    SetStatusText(context, L"Vandrel cannot be used with CompactFlash GPS receivers", FORCED);
    face = Repainted();
    ExpectStartsAt(InkBox(face, firstBand, IsDark, &ink), 13);
    EXPECT_EQ(ink, InkOf(L"Vandrel cannot be used with", g_normalFont));
    ExpectStartsAt(InkBox(face, secondBand, IsDark, &ink), 13);
    EXPECT_EQ(ink, InkOf(L"CompactFlash GPS receivers", g_normalFont));
    SetStatusText(context, L"Cancelled", FORCED);
    face = harness::CaptureClient(g_hMainWnd);
    EXPECT_EQ(Count(face, secondBand, IsDark), 0);
}

// Every status and time text of the program is whole as drawn: on one line within the width
// right of the margin, or broken at a space into two lines that each fit there. At the
// handheld's size (a client area 240 wide, L = 13, 9-point Tahoma at 96 pixels per inch:
// 12 pixels) and at this desktop's (the window's own font and units).
TEST_F(Painting, EveryStatusAndTimeTextIsWholeOnTheHandheldAndTheDesktop) {
    const LOGFONTW handheldFace = DescribePointFont(L"Tahoma", TenthsOfPixel(90, 96.0f), 0);
    HFONT handheldFont = CreateFontIndirectW(&handheldFace);
    const struct {
        const char* size;
        HFONT font;
        int width;
    } sizes[] = {{"handheld", handheldFont, 240 - 13},
                 {"desktop", g_normalFont, g_clientWidth - g_lineHeight}};
    std::vector<std::wstring> texts = StatusMessages(L"COM5:");
    const std::vector<std::wstring> times = TimeLines(100 * 60);
    texts.insert(texts.end(), times.begin(), times.end());
    wchar_t longest[32];  // the most seconds an estimate can come to
    swprintf(longest, 32, L"Time remaining: %u:%02u", 0xFFFFFFFEu / 60, 0xFFFFFFFEu % 60);
    texts.push_back(longest);

    HDC dc = CreateCompatibleDC(nullptr);
    const auto widthOf = [dc](const wchar_t* text, int length) {
        SIZE extent = {};
        GetTextExtentPoint32W(dc, text, length, &extent);
        return static_cast<int>(extent.cx);
    };
    for (const auto& size : sizes) {
        SelectObject(dc, size.font);
        for (const std::wstring& text : texts) {
            const int length = static_cast<int>(text.size());
            const LineBreak lines = BreakLine(dc, text.c_str(), length, size.width);
            EXPECT_LE(widthOf(text.c_str(), lines.firstLength), size.width)
                << size.size << ": " << testing::PrintToString(text);
            EXPECT_LE(widthOf(text.c_str() + lines.restStart, length - lines.restStart), size.width)
                << size.size << ": the rest of " << testing::PrintToString(text);
        }
    }
    DeleteDC(dc);
    DeleteObject(handheldFont);
}

}  // namespace
