#include "ui/painting.h"

#include <gtest/gtest.h>

#include "tests/ui/window_harness.h"

namespace {

using harness::Capture;
using harness::InkBox;
using harness::IsDark;
using harness::IsReddish;
using harness::IsWhite;

// How many pixels of ink a text leaves when drawn alone in a font, black on white.
int InkOf(const wchar_t* text, HFONT font) {
    const int width = 600, height = 40;
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ previousBitmap = SelectObject(dc, bitmap);
    HGDIOBJ previousFont = SelectObject(dc, font);
    PatBlt(dc, 0, 0, width, height, WHITENESS);
    ExtTextOutW(dc, 0, 0, 0, nullptr, text, UINT(wcslen(text)), nullptr);
    GdiFlush();
    int ink = 0;
    for (int i = 0; i < width * height; ++i) {
        ink += IsDark(static_cast<const uint32_t*>(bits)[i] & 0xFFFFFF) ? 1 : 0;
    }
    SelectObject(dc, previousFont);
    SelectObject(dc, previousBitmap);
    DeleteDC(dc);
    DeleteObject(bitmap);
    return ink;
}

int TextWidth(const wchar_t* text, HFONT font) {
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, font);
    SIZE size = {};
    GetTextExtentPoint32W(dc, text, int(wcslen(text)), &size);
    SelectObject(dc, previous);
    DeleteDC(dc);
    return size.cx;
}

class Painting : public harness::MainWindowTest {
protected:
    void SetUp() override {
        harness::MainWindowTest::SetUp();
        L = g_lineHeight;
        B = g_boldLineHeight;
        W = g_clientWidth;
    }

    Capture Repainted() {
        InvalidateRect(g_hMainWnd, nullptr, TRUE);
        return harness::CaptureClient(g_hMainWnd);
    }

    // A band of rows across the whole client width.
    RECT Rows(int top, int bottom) const { return RECT{0, top, W, bottom}; }

    int L = 0, B = 0, W = 0;
    UpgradeContext context{};
};

void ExpectStartsAt(const RECT& ink, int x, const char* what) {
    // Glyphs start a pixel or two right of where they are drawn (their left bearing).
    EXPECT_GE(ink.left, x) << what;
    EXPECT_LE(ink.left, x + 2) << what;
}

TEST_F(Painting, TheFrameRunsOnePixelOutsideTheBarAndTouchesNoneOfIt) {
    const RECT bar = harness::PlaceOf(g_hProgress);
    ShowWindow(g_hProgress, SW_HIDE);  // so that the bar's own pixels cannot hide a fault
    for (bool barShown : {false, true}) {
        ShowWindow(g_hProgress, barShown ? SW_SHOW : SW_HIDE);
        const Capture face = Repainted();
        auto inside = [&](LONG x, LONG y, LONG margin) {
            return x >= bar.left - margin && x < bar.right + margin && y >= bar.top - margin &&
                   y < bar.bottom + margin;
        };
        for (LONG y = bar.top - 3; y < bar.bottom + 3; ++y) {
            for (LONG x = bar.left - 3; x < bar.right + 3; ++x) {
                const uint32_t pixel = face.At(x, y);
                if (inside(x, y, 0)) {
                    if (!barShown) {
                        ASSERT_TRUE(IsWhite(pixel)) << "inside the bar at " << x << "," << y;
                    }
                } else if (inside(x, y, 1)) {
                    ASSERT_EQ(pixel, 0u) << "frame at " << x << "," << y;
                } else {
                    ASSERT_TRUE(IsWhite(pixel)) << "beyond the frame at " << x << "," << y;
                }
            }
        }
    }
}

TEST_F(Painting, TheTitleIsBoldAtTheMarginOfTheFirstBoldLine) {
    const wchar_t* title = L"Tavrin Kivo GPS 5120/5240";
    const Capture face = Repainted();
    int ink = 0;
    const RECT box = InkBox(face, RECT{0, B, L + 190, 2 * B}, IsDark, &ink);
    ExpectStartsAt(box, L, "title");
    EXPECT_GE(box.top, B);
    EXPECT_EQ(ink, InkOf(title, g_boldFont));
    EXPECT_NE(ink, InkOf(title, g_normalFont));
}

TEST_F(Painting, TheHeadingNamesTheVersionInBoldOnTheSecondBoldLine) {
    const Capture face = Repainted();
    int ink = 0;
    const RECT box = InkBox(face, Rows(2 * B, 3 * B), IsDark, &ink);
    ExpectStartsAt(box, L, "heading");
    EXPECT_EQ(ink, InkOf(L"2.3.7 ROM upgrade", g_boldFont));
    InkBox(face, Rows(2 * B, 3 * B), IsReddish, &ink);
    EXPECT_EQ(ink, 0);
}

TEST_F(Painting, TheMarksAndTheNoticeAreRed) {
    const Capture face = Repainted();
    int ink = 0;
    // The title's mark: 190 pixels right of the margin, whatever the title's width.
    RECT mark = InkBox(face, Rows(B, 2 * B), IsReddish, &ink);
    ExpectStartsAt(mark, L + 190, "title mark");
    EXPECT_LT(mark.right - mark.left, 10);
    EXPECT_EQ(ink, InkOf(L"*", g_normalFont));

    struct Row {
        int row;
        int x;
        const wchar_t* text;
    };
    const Row notice[] = {{9, L, L"* Only for use with Tavrin Kivo"},
                          {10, L + 12, L"GPS receivers that have an external"},
                          {11, L + 12, L"antenna connector"}};
    for (const Row& r : notice) {
        const RECT band = Rows(r.row * B, (r.row + 1) * B);
        const RECT red = InkBox(face, band, IsReddish, &ink);
        ExpectStartsAt(red, r.x, "notice");
        EXPECT_GT(ink, 0) << r.row;
        InkBox(face, band, IsDark, &ink);
        EXPECT_EQ(ink, 0) << "black ink in notice row " << r.row;
    }
    // The first row is its mark, then the text 12 pixels right of the margin.
    const RECT markOnly = InkBox(face, RECT{0, 9 * B, L + 12, 10 * B}, IsReddish, &ink);
    EXPECT_EQ(ink, InkOf(L"*", g_normalFont));
    EXPECT_LT(markOnly.right, L + 12);
}

TEST_F(Painting, TheSharedLinesDrawInTheirBands) {
    struct Line {
        wchar_t* buffer;
        const wchar_t* text;
        int top;
    };
    const Line lines[] = {{g_timeText, L"Time remaining: 1:01", 3 * B},
                          {g_statusText, L"Initialising...", 7 * L}};
    for (const Line& line : lines) {
        wcscpy(line.buffer, line.text);
    }
    const Capture face = Repainted();
    for (const Line& line : lines) {
        int ink = 0;
        const RECT box = InkBox(face, Rows(line.top, line.top + L), IsDark, &ink);
        ExpectStartsAt(box, L, "shared line");
        EXPECT_EQ(ink, InkOf(line.text, g_normalFont));
    }
}

TEST_F(Painting, AnEmptyLineLeavesABlankBand) {
    // The bands end where the next item begins: the frame below the time line, the notice
    // below the status line (with a tall default font the two may meet).
    const RECT bands[] = {Rows(3 * B, std::min(3 * B + L, 5 * L + 4)),
                          Rows(7 * L, std::min(8 * L, 9 * B))};
    const Capture face = Repainted();
    for (const RECT& band : bands) {
        int ink = 0;
        InkBox(
            face, band, [](uint32_t pixel) { return !IsWhite(pixel); }, &ink);
        EXPECT_EQ(ink, 0) << "rows " << band.top << " to " << band.bottom;
    }
}

TEST_F(Painting, AShorterTextLeavesNoRemainsOfALongerOne) {
    SetStatusText(context, L"Couldn't open GPS receiver port (COM5:)", true);
    SetTimeRemaining(context, 6039, true);
    harness::CaptureClient(g_hMainWnd);

    SetStatusText(context, L"Cancelled", true);
    SetTimeRemaining(context, TIME_REMAINING_NONE, true);
    const Capture face = harness::CaptureClient(g_hMainWnd);

    int ink = 0;
    const RECT status = InkBox(face, Rows(7 * L, 8 * L), IsDark, &ink);
    EXPECT_EQ(ink, InkOf(L"Cancelled", g_normalFont));
    EXPECT_LE(status.right, L + TextWidth(L"Cancelled", g_normalFont));
    InkBox(face, Rows(3 * B, 3 * B + L), IsDark, &ink);
    EXPECT_EQ(ink, 0) << "the cleared time line";
}

}  // namespace
