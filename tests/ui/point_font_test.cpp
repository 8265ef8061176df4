#include "ui/point_font.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(PointFontArithmetic, HeightsKeepTheirPhysicalSizeRoundedHalfUp) {
    const struct {
        float pixelsPerInch;
        int32_t height;
        LONG lfHeight;
    } cases[] = {
        {96, 90, -12},  {131, 90, -16},  {192, 90, -24},  // h10 120, trunc(163.75), 240
        {96, -90, -12}, {131, -90, -16}, {96, 0, 0},      // only the magnitude counts
        {72, 125, -13}, {72, 124, -12},  {72, -125, -13},
        {72, 5, -1},    {72, 4, 0},      {95.25f, 90, -12},  // h10 = trunc(119.06) = 119
    };
    for (const auto& c : cases) {
        const int32_t h10 = TenthsOfPixel(c.height, c.pixelsPerInch);
        EXPECT_EQ(DescribePointFont(L"Tahoma", h10, 0).lfHeight, c.lfHeight)
            << c.height << " at " << c.pixelsPerInch;
    }
}

TEST(PointFontArithmetic, WidthsScaleTheAverageCharacterWidth) {
    const struct {
        LONG averageCharWidth;
        int32_t width;  // tenths of a point, at 96 pixels per inch, height 90 (h10 120)
        int32_t h10;
        LONG lfWidth;
    } cases[] = {
        {5, 45, 120, 3}, {5, -45, 120, 3},  {5, 45, -120, 3},  // w10 60: 2.5 rounds up
        {7, 90, 120, 7}, {7, 180, 120, 14}, {5, 1, 120, 0},
        {5, 45, 0, 0},  // no height to scale by: the natural width
    };
    for (const auto& c : cases) {
        const int32_t w10 = TenthsOfPixel(c.width, 96);
        EXPECT_EQ(ScaledFontWidth(c.averageCharWidth, w10, c.h10), c.lfWidth)
            << c.averageCharWidth << " x " << c.width << " / " << c.h10;
    }
}

TEST(PointFontArithmetic, PhysicalDensityIsPixelsOverInches) {
    EXPECT_FLOAT_EQ(PhysicalPixelsPerInch(240, 64, 96), 95.25f);  // 2.52 inches
    EXPECT_FLOAT_EQ(PhysicalPixelsPerInch(480, 127, 72), 96.0f);  // 5 inches
    EXPECT_FLOAT_EQ(PhysicalPixelsPerInch(320, 0, 131), 131.0f);  // no size: the logical one
}

TEST(PointFontArithmetic, AttributeBitsSetTheirFieldsAndNothingElse) {
    const struct {
        uint32_t attributes;
        LONG weight;
        BYTE italic, underline, strikeOut;
    } cases[] = {
        {0, 0, 0, 0, 0},
        {1, FW_BOLD, 0, 0, 0},
        {2, 0, 1, 0, 0},
        {4, 0, 0, 1, 0},
        {8, 0, 0, 0, 1},
        {0xFFFFFFF0, 0, 0, 0, 0},
        {0xFFFFFFFF, FW_BOLD, 1, 1, 1},
    };
    for (const auto& c : cases) {
        const LOGFONTW font = DescribePointFont(L"Tahoma Bold", 120, c.attributes);
        EXPECT_EQ(font.lfWeight, c.weight) << std::hex << c.attributes;
        EXPECT_EQ(font.lfItalic, c.italic) << std::hex << c.attributes;
        EXPECT_EQ(font.lfUnderline, c.underline) << std::hex << c.attributes;
        EXPECT_EQ(font.lfStrikeOut, c.strikeOut) << std::hex << c.attributes;
        // The rest is the same for every font.
        LOGFONTW rest = font;
        rest.lfWeight = rest.lfItalic = rest.lfUnderline = rest.lfStrikeOut = 0;
        LOGFONTW expected = {};
        expected.lfHeight = -12;
        expected.lfCharSet = DEFAULT_CHARSET;
        wcscpy(expected.lfFaceName, L"Tahoma Bold");
        EXPECT_EQ(memcmp(&rest, &expected, sizeof rest), 0) << std::hex << c.attributes;
    }
}

// Fonts made for a real device context: a memory one, compatible with the screen.
class PointFontOnDevice : public ::testing::Test {
protected:
    void SetUp() override {
        dc = CreateCompatibleDC(nullptr);
        ASSERT_EQ(GetDeviceCaps(dc, LOGPIXELSY), 96) << "the cases are worked for 96";
    }
    void TearDown() override { DeleteDC(dc); }

    static LOGFONTW Record(HFONT font) {
        LOGFONTW record = {};
        EXPECT_EQ(GetObjectW(font, sizeof record, &record), int(sizeof record));
        return record;
    }
    HDC dc = nullptr;
};

TEST_F(PointFontOnDevice, AWidthIsMeasuredOnTheNaturalFontAndTheStateIsPutBack) {
    HFONT natural = CreatePointFont(dc, L"Tahoma", 90, 0, 0, true);
    EXPECT_EQ(Record(natural).lfHeight, -12);
    EXPECT_EQ(Record(natural).lfWidth, 0);
    HGDIOBJ original = SelectObject(dc, natural);
    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);
    const int savedLevel = SaveDC(dc);
    RestoreDC(dc, -1);

    for (bool logical : {true, false}) {
        HFONT half = CreatePointFont(dc, L"Tahoma", 90, -45, 2, logical);
        if (logical) {
            EXPECT_EQ(Record(half).lfWidth, (metrics.tmAveCharWidth + 1) / 2);
            EXPECT_EQ(Record(half).lfItalic, 1);
        }
        EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), natural) << logical;
        EXPECT_EQ(SaveDC(dc), savedLevel) << "a saved state was left behind";
        RestoreDC(dc, -1);
        DeleteObject(half);
    }
    SelectObject(dc, original);
    DeleteObject(natural);
}

// The process's graphics objects used up but for a few, so that what a call keeps for
// itself shows in how many fonts fit.
TEST_F(PointFontOnDevice, EachCallKeepsOnlyTheFontItReturns) {
    constexpr size_t SPARE = 10;
    std::vector<HGDIOBJ> kept;
    for (HBRUSH brush; (brush = CreateSolidBrush(0)) != nullptr;) {
        kept.push_back(brush);
    }
    ASSERT_GT(kept.size(), SPARE);
    for (size_t i = 0; i < SPARE; ++i) {
        DeleteObject(kept.back());
        kept.pop_back();
    }
    for (int32_t width : {0, 45}) {
        std::vector<HFONT> made;
        for (HFONT font; (font = CreatePointFont(dc, L"Tahoma", 90, width, 0, true)) != nullptr;) {
            EXPECT_EQ(Record(font).lfWidth != 0, width != 0) << "width " << width;
            made.push_back(font);
        }
        EXPECT_EQ(made.size(), SPARE) << "width " << width;
        for (HFONT font : made) {
            DeleteObject(font);
        }
    }
    for (HGDIOBJ object : kept) {
        DeleteObject(object);
    }
}

}  // namespace
