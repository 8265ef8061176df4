#include "ui/fitted_line.h"

#include <wchar.h>

LineBreak BreakLine(HDC dc, const wchar_t* text, int length, int width) {
    const LineBreak whole = {length, length};
    int fit = 0;
    SIZE extent;
    // The handheld measures text only with the "Ex" form; given a width, it counts the
    // characters that fit within it.
    if (!GetTextExtentExPointW(dc, text, length, width, &fit, nullptr, &extent) || fit >= length) {
        return whole;
    }
    // A space at fit or before it ends a first line that fits; the space itself is drawn on
    // neither line.
    for (int i = fit; i > 0; --i) {
        if (text[i] == L' ') {
            return LineBreak{i, i + 1};
        }
    }
    return whole;
}

void DrawFittedLine(HDC dc, int x, int y, int width, int lineHeight, const wchar_t* text) {
    const int length = static_cast<int>(wcslen(text));
    const LineBreak lines = BreakLine(dc, text, length, width);
    ExtTextOutW(dc, x, y, 0, nullptr, text, static_cast<UINT>(lines.firstLength), nullptr);
    if (lines.restStart < length) {
        ExtTextOutW(dc, x, y + lineHeight, 0, nullptr, text + lines.restStart,
                    static_cast<UINT>(length - lines.restStart), nullptr);
    }
}
