#include "ui/point_font.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <vector>

namespace {

// The height of a font asked for in tenths of a point, at a given pixel density.
LONG HeightAt(int32_t tenthsOfPoint, float pixelsPerInch) {
    return DescribePointFont(L"Tahoma", TenthsOfPixel(tenthsOfPoint, pixelsPerInch), 0).lfHeight;
}

TEST(PointFontSize, NinePointsKeepTheirPhysicalSizeAtEveryDensity) {
    struct Case {
        float pixelsPerInch;
        int32_t height;
        LONG lfHeight;
    };
    const Case cases[] = {
        {96, 90, -12},  {131, 90, -16},  {192, 90, -24},  // h10 120, trunc(163.75), 240
        {96, -90, -12}, {131, -90, -16},                  // only the magnitude counts
        {96, 0, 0},     {72, 10, -1},    {72, 15, -2},    // h10 10 and 15: 1.0 and 1.5 px
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HeightAt(c.height, c.pixelsPerInch), c.lfHeight)
            << c.height << " tenths at " << c.pixelsPerInch;
    }
}

TEST(PointFontSize, TenthsOfAPixelAreTruncatedTowardsZero) {
    struct Case {
        int32_t tenthsOfPoint;
        float pixelsPerInch;
        int32_t tenthsOfPixel;
    };
    const Case cases[] = {
        {90, 131, 163}, {-90, 131, -163}, {45, 96, 60}, {90, 95.25f, 119}, {1, 50, 0}, {-1, 50, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TenthsOfPixel(c.tenthsOfPoint, c.pixelsPerInch), c.tenthsOfPixel)
            << c.tenthsOfPoint << " at " << c.pixelsPerInch;
    }
}

TEST(PointFontSize, HalvesOfAPixelRoundUpWhateverTheSign) {
    const struct {
        int32_t h10;
        LONG lfHeight;
    } cases[] = {{125, -13}, {124, -12}, {-125, -13}, {-124, -12}, {5, -1}, {4, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(DescribePointFont(L"Tahoma", c.h10, 0).lfHeight, c.lfHeight) << c.h10;
    }
}

TEST(PointFontSize, WidthIsTheAverageCharacterWidthScaledByWidthOverHeight) {
    struct Case {
        LONG averageCharWidth;
        int32_t w10;
        int32_t h10;
        LONG lfWidth;
    };
    const Case cases[] = {
        {5, 60, 120, 3}, {5, -60, 120, 3}, {5, 60, -120, 3},  // 2.5 rounds up
        {5, 29, 100, 1}, {7, 120, 120, 7}, {7, 240, 120, 14},
        {5, 60, 0, 0},  // no height to scale by: the natural width
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ScaledFontWidth(c.averageCharWidth, c.w10, c.h10), c.lfWidth)
            << c.averageCharWidth << " x " << c.w10 << " / " << c.h10;
    }
}

TEST(PointFontSize, PhysicalDensityIsPixelsOverInches) {
    struct Case {
        int pixels;
        int millimetres;
        int logical;
        float pixelsPerInch;
    };
    const Case cases[] = {
        {240, 64, 96, 95.25f},  // 240 px over 2.52 inches
        {480, 127, 96, 96.0f},  // 480 px over 5 inches
        {320, 0, 131, 131.0f},  // a device that reports no size: its logical density
    };
    for (const Case& c : cases) {
        EXPECT_FLOAT_EQ(PhysicalPixelsPerInch(c.pixels, c.millimetres, c.logical), c.pixelsPerInch)
            << c.pixels << " px over " << c.millimetres << " mm";
    }
}

TEST(PointFontRecord, AttributeBitsSetTheirFieldsAndNothingElse) {
    struct Case {
        uint32_t attributes;
        LONG weight;
        BYTE italic, underline, strikeOut;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0},
        {POINT_FONT_BOLD, FW_BOLD, 0, 0, 0},
        {POINT_FONT_ITALIC, 0, 1, 0, 0},
        {POINT_FONT_UNDERLINE, 0, 0, 1, 0},
        {POINT_FONT_STRIKE_OUT, 0, 0, 0, 1},
        {0xFFFFFFF0, 0, 0, 0, 0},
        {0xFFFFFFFF, FW_BOLD, 1, 1, 1},
        {0x10 | POINT_FONT_ITALIC, 0, 1, 0, 0},
    };
    for (const Case& c : cases) {
        const LOGFONTW font = DescribePointFont(L"Tahoma Bold", 120, c.attributes);
        EXPECT_EQ(font.lfWeight, c.weight) << std::hex << c.attributes;
        EXPECT_EQ(font.lfItalic, c.italic) << std::hex << c.attributes;
        EXPECT_EQ(font.lfUnderline, c.underline) << std::hex << c.attributes;
        EXPECT_EQ(font.lfStrikeOut, c.strikeOut) << std::hex << c.attributes;
        EXPECT_EQ(font.lfHeight, -12);
        EXPECT_EQ(font.lfWidth, 0);
        EXPECT_EQ(font.lfEscapement, 0);
        EXPECT_EQ(font.lfOrientation, 0);
        EXPECT_EQ(font.lfCharSet, DEFAULT_CHARSET);
        EXPECT_EQ(font.lfOutPrecision, 0);
        EXPECT_EQ(font.lfClipPrecision, 0);
        EXPECT_EQ(font.lfQuality, 0);
        EXPECT_EQ(font.lfPitchAndFamily, 0);
        EXPECT_STREQ(font.lfFaceName, L"Tahoma Bold");
    }
}

TEST(PointFontRecord, AnOverlongFaceNameIsCutToFit) {
    const wchar_t* face = L"A face name of far more than thirty-one characters";
    const LOGFONTW font = DescribePointFont(face, 120, 0);
    EXPECT_EQ(std::wstring(font.lfFaceName), std::wstring(face).substr(0, LF_FACESIZE - 1));
}

// Fonts made for a real device context (a memory one, compatible with the screen).
class PointFontOnDevice : public ::testing::Test {
protected:
    void SetUp() override {
        dc = CreateCompatibleDC(nullptr);
        ASSERT_EQ(GetDeviceCaps(dc, LOGPIXELSY), 96) << "the cases below are worked for 96";
    }
    void TearDown() override { DeleteDC(dc); }

    static LOGFONTW Record(HFONT font) {
        LOGFONTW record = {};
        EXPECT_EQ(GetObjectW(font, sizeof record, &record), int(sizeof record));
        return record;
    }

    LONG NaturalAverageCharWidth(LONG lfHeight) {
        LOGFONTW record = DescribePointFont(L"Tahoma", -10 * lfHeight, 0);
        HFONT font = CreateFontIndirectW(&record);
        HGDIOBJ previous = SelectObject(dc, font);
        TEXTMETRICW metrics = {};
        GetTextMetricsW(dc, &metrics);
        SelectObject(dc, previous);
        DeleteObject(font);
        return metrics.tmAveCharWidth;
    }

    HDC dc = nullptr;
};

TEST_F(PointFontOnDevice, TheProgramsNinePointFontsAreTwelvePixelsHighAt96) {
    for (const wchar_t* face : {L"Tahoma", L"Tahoma Bold"}) {
        HFONT font = CreatePointFont(dc, face, 90, 0, 0, true);
        const LOGFONTW record = Record(font);
        EXPECT_EQ(record.lfHeight, -12) << face;
        EXPECT_EQ(record.lfWidth, 0) << face;
        EXPECT_EQ(record.lfWeight, 0) << face;
        EXPECT_STREQ(record.lfFaceName, face);
        DeleteObject(font);
    }
}

TEST_F(PointFontOnDevice, ARequestedWidthIsScaledFromTheNaturalFont) {
    const LONG average = NaturalAverageCharWidth(12);
    ASSERT_GT(average, 1);
    struct Case {
        int32_t width;
        LONG lfWidth;
    };
    // Height 90 is h10 120 at 96 px/inch; width 45 is w10 60, half the height.
    const Case cases[] = {{45, (average + 1) / 2}, {-45, (average + 1) / 2}, {90, average}};
    for (const Case& c : cases) {
        HFONT font = CreatePointFont(dc, L"Tahoma", 90, c.width, POINT_FONT_ITALIC, true);
        const LOGFONTW record = Record(font);
        EXPECT_EQ(record.lfWidth, c.lfWidth) << c.width;
        EXPECT_EQ(record.lfHeight, -12) << c.width;
        EXPECT_EQ(record.lfItalic, 1) << c.width;
        DeleteObject(font);
    }
}

TEST_F(PointFontOnDevice, TheDeviceContextIsLeftAsItWas) {
    LOGFONTW record = DescribePointFont(L"Tahoma", 200, 0);
    HFONT selected = CreateFontIndirectW(&record);
    HGDIOBJ original = SelectObject(dc, selected);
    const int savedLevels = SaveDC(dc);
    RestoreDC(dc, -1);

    for (int32_t width : {0, 45}) {
        for (bool logical : {true, false}) {
            DeleteObject(CreatePointFont(dc, L"Tahoma", 90, width, 0, logical));
            EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), selected) << width << logical;
            EXPECT_EQ(SaveDC(dc), savedLevels) << "a saved state was left behind";
            RestoreDC(dc, -1);
        }
    }
    SelectObject(dc, original);
    DeleteObject(selected);
}

// The process's graphics object table filled but for a few entries, so that what a call
// keeps for itself shows in how many fonts fit.
class ScarceGraphicsObjects : public PointFontOnDevice {
protected:
    static constexpr size_t SPARE = 10;

    void SetUp() override {
        PointFontOnDevice::SetUp();
        for (HBRUSH brush; (brush = CreateSolidBrush(RGB(1, 2, 3))) != nullptr;) {
            kept.push_back(brush);
        }
        ASSERT_GT(kept.size(), SPARE);
        for (size_t i = 0; i < SPARE; ++i) {
            DeleteObject(kept.back());
            kept.pop_back();
        }
    }
    void TearDown() override {
        for (HGDIOBJ object : kept) {
            DeleteObject(object);
        }
        PointFontOnDevice::TearDown();
    }
    std::vector<HGDIOBJ> kept;
};

TEST_F(ScarceGraphicsObjects, EachCallKeepsOnlyTheFontItReturns) {
    for (int32_t width : {0, 45, -45}) {
        size_t made = 0;
        for (HFONT font; (font = CreatePointFont(dc, L"Tahoma", 90, width, 0, true)) != nullptr;) {
            EXPECT_EQ(Record(font).lfWidth != 0, width != 0) << "width " << width;
            kept.push_back(font);
            ++made;
        }
        EXPECT_EQ(made, SPARE) << "width " << width;
        for (size_t i = 0; i < made; ++i) {
            DeleteObject(kept.back());
            kept.pop_back();
        }
    }
}

}  // namespace
