// Fonts sized in tenths of a typographic point (72 points to the inch), so that text keeps
// its physical size whatever the pixel density of the screen.
//
// CreatePointFont leaves the device context as it found it. The font it returns belongs to
// the caller, who deletes it with DeleteObject; a font the platform could not make comes
// back as the null handle the platform gave. Only the magnitudes of height and width
// count; a width of 0 keeps the face's natural width. Inputs that would divide by zero
// never fail: a device reporting a physical size of 0 is taken at its logical pixels per
// inch, and a width requested with a height that comes to 0 tenths of a pixel keeps the
// natural width.
//
// The arithmetic is exposed on its own so that it can be checked for any pixel density.
#pragma once

#include <windows.h>

#include <stdint.h>

// Attribute bits; other bits are ignored.
constexpr uint32_t POINT_FONT_BOLD = 1;
constexpr uint32_t POINT_FONT_ITALIC = 2;
constexpr uint32_t POINT_FONT_UNDERLINE = 4;
constexpr uint32_t POINT_FONT_STRIKE_OUT = 8;

HFONT CreatePointFont(HDC dc, const wchar_t* faceName, int32_t height, int32_t width,
                      uint32_t attributes, bool useLogicalPixels);

// Pixels per inch from a screen's extent in pixels and in millimetres. A size of 0
// millimetres gives logicalPixelsPerInch.
float PhysicalPixelsPerInch(int pixels, int millimetres, int logicalPixelsPerInch);

// A size in tenths of a point as tenths of a pixel at pixelsPerInch, truncated.
int32_t TenthsOfPixel(int32_t tenthsOfPoint, float pixelsPerInch);

// The record for a font h10 tenths of a pixel high (natural width), rounded to the
// nearest pixel with halves up and negative so that the character height is matched.
LOGFONTW DescribePointFont(const wchar_t* faceName, int32_t h10, uint32_t attributes);

// The width in pixels for w10 tenths of a pixel, scaled from the natural font's average
// character width by the ratio of requested width to height; 0 when h10 is 0.
LONG ScaledFontWidth(LONG averageCharWidth, int32_t w10, int32_t h10);
