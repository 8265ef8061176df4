#include "ui/point_font.h"

#include <math.h>
#include <wchar.h>

namespace {

constexpr double MILLIMETRES_PER_INCH = 25.4;
constexpr float POINTS_PER_INCH = 72.0f;

}  // namespace

float PhysicalPixelsPerInch(int pixels, int millimetres, int logicalPixelsPerInch) {
    if (millimetres == 0) {
        return static_cast<float>(logicalPixelsPerInch);
    }
    return static_cast<float>(MILLIMETRES_PER_INCH * pixels / millimetres);
}

int32_t TenthsOfPixel(int32_t tenthsOfPoint, float pixelsPerInch) {
    return static_cast<int32_t>(static_cast<float>(tenthsOfPoint) * pixelsPerInch /
                                POINTS_PER_INCH);
}

LOGFONTW DescribePointFont(const wchar_t* faceName, int32_t h10, uint32_t attributes) {
    // Zeroed: escapement, orientation, the precisions, quality and pitch stay at the
    // platform's defaults, and the face name is always terminated.
    LOGFONTW font = {};
    // Worked in double so that the magnitude of the most negative height still fits.
    font.lfHeight = -static_cast<LONG>(fabs(static_cast<double>(h10)) / 10.0 + 0.5);
    font.lfWeight = (attributes & POINT_FONT_BOLD) ? FW_BOLD : 0;
    font.lfItalic = (attributes & POINT_FONT_ITALIC) ? 1 : 0;
    font.lfUnderline = (attributes & POINT_FONT_UNDERLINE) ? 1 : 0;
    font.lfStrikeOut = (attributes & POINT_FONT_STRIKE_OUT) ? 1 : 0;
    font.lfCharSet = DEFAULT_CHARSET;
    wcsncpy(font.lfFaceName, faceName, LF_FACESIZE - 1);
    return font;
}

LONG ScaledFontWidth(LONG averageCharWidth, int32_t w10, int32_t h10) {
    if (h10 == 0) {
        return 0;
    }
    return static_cast<LONG>(
        averageCharWidth * fabs(static_cast<double>(w10)) / fabs(static_cast<double>(h10)) + 0.5);
}

HFONT CreatePointFont(HDC dc, const wchar_t* faceName, int32_t height, int32_t width,
                      uint32_t attributes, bool useLogicalPixels) {
    SaveDC(dc);
    const int logicalX = GetDeviceCaps(dc, LOGPIXELSX);
    const int logicalY = GetDeviceCaps(dc, LOGPIXELSY);
    float px = static_cast<float>(logicalX);
    float py = static_cast<float>(logicalY);
    if (!useLogicalPixels) {
        px = PhysicalPixelsPerInch(GetDeviceCaps(dc, HORZRES), GetDeviceCaps(dc, HORZSIZE),
                                   logicalX);
        py = PhysicalPixelsPerInch(GetDeviceCaps(dc, VERTRES), GetDeviceCaps(dc, VERTSIZE),
                                   logicalY);
    }
    const int32_t w10 = TenthsOfPixel(width, px);
    const int32_t h10 = TenthsOfPixel(height, py);

    LOGFONTW description = DescribePointFont(faceName, h10, attributes);
    HFONT font = CreateFontIndirectW(&description);
    if (width != 0) {
        // The width is scaled from what the face actually gives at this height, so the
        // natural-width font is made once to be measured and then thrown away.
        HGDIOBJ replaced = SelectObject(dc, font);
        TEXTMETRICW metrics = {};
        GetTextMetricsW(dc, &metrics);
        SelectObject(dc, replaced);
        DeleteObject(font);
        description.lfWidth = ScaledFontWidth(metrics.tmAveCharWidth, w10, h10);
        font = CreateFontIndirectW(&description);
    }
    RestoreDC(dc, -1);
    return font;
}
