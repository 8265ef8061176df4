// Checks, before any test or run, that Wine draws the window's faces as the tests expect:
// 9-point "Tahoma" and "Tahoma Bold", made the way the program makes them, resolve to
// Wine's own Tahoma, and bold really leaves more ink than regular. Without Wine's font
// package both fall back to another face in one weight, and every test that reads a line
// off the screen would fail minutes later with nothing but pixel mismatches.
//
// Prints nothing and exits 0 when all is well; else prints one line naming what is
// missing and the package that brings it, and exits 1.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "ui/point_font.h"

namespace {

constexpr int32_t NINE_POINTS = 90;
const wchar_t SAMPLE[] = L"Tavrin Kivo GPS 5120/5240";
const char FONTS_PACKAGE[] = "fonts-wine";

// The family name of the face that Wine chose for the font.
bool FamilyOf(HDC dc, HFONT font, wchar_t* family, size_t capacity) {
    HGDIOBJ previous = SelectObject(dc, font);
    alignas(OUTLINETEXTMETRICW) char buffer[1024];
    auto* metrics = reinterpret_cast<OUTLINETEXTMETRICW*>(buffer);
    const bool found = GetOutlineTextMetricsW(dc, sizeof buffer, metrics) != 0;
    if (found) {
        wcsncpy(family, reinterpret_cast<const wchar_t*>(buffer + size_t(metrics->otmpFamilyName)),
                capacity - 1);
        family[capacity - 1] = L'\0';
    }
    SelectObject(dc, previous);
    return found;
}

// How many pixels of ink the sample leaves, black on white.
int InkOf(HDC screen, HFONT font) {
    constexpr int WIDTH = 400, HEIGHT = 40;
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof info.bmiHeader, WIDTH, -HEIGHT, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = CreateCompatibleDC(screen);
    HGDIOBJ previousBitmap = SelectObject(dc, bitmap);
    HGDIOBJ previousFont = SelectObject(dc, font);
    RECT all = {0, 0, WIDTH, HEIGHT};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    ExtTextOutW(dc, 2, 2, 0, nullptr, SAMPLE, UINT(wcslen(SAMPLE)), nullptr);
    GdiFlush();
    int ink = 0;
    for (int i = 0; i < WIDTH * HEIGHT; ++i) {
        ink += (static_cast<const uint32_t*>(bits)[i] & 0xFF) < 0x80 ? 1 : 0;
    }
    SelectObject(dc, previousFont);
    SelectObject(dc, previousBitmap);
    DeleteDC(dc);
    DeleteObject(bitmap);
    return ink;
}

}  // namespace

int main() {
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) {
        std::printf("preflight: Wine has no display to draw on (is Xvfb, package xvfb, running?)\n");
        return 1;
    }
    HFONT regular = CreatePointFont(screen, L"Tahoma", NINE_POINTS, 0, 0, true);
    HFONT bold = CreatePointFont(screen, L"Tahoma Bold", NINE_POINTS, 0, 0, true);
    wchar_t regularFamily[64] = L"", boldFamily[64] = L"";
    const bool resolved = FamilyOf(screen, regular, regularFamily, 64) &&
                          FamilyOf(screen, bold, boldFamily, 64);
    const int regularInk = InkOf(screen, regular), boldInk = InkOf(screen, bold);
    DeleteObject(regular);
    DeleteObject(bold);
    ReleaseDC(nullptr, screen);

    if (!resolved || wcscmp(regularFamily, L"Tahoma") != 0 || wcscmp(boldFamily, L"Tahoma") != 0) {
        std::printf("preflight: Wine draws \"Tahoma\" in \"%ls\" and \"Tahoma Bold\" in \"%ls\": "
                    "Wine's Tahoma faces are missing; install the package %s\n",
                    regularFamily, boldFamily, FONTS_PACKAGE);
        return 1;
    }
    if (boldInk <= regularInk) {
        std::printf("preflight: \"Tahoma Bold\" is drawn no heavier than \"Tahoma\" (%d vs %d "
                    "pixels of ink): one of Wine's Tahoma faces (tahoma.ttf, tahomabd.ttf) is missing; install the package %s\n",
                    boldInk, regularInk, FONTS_PACKAGE);
        return 1;
    }
    return 0;
}
