// A status or time text drawn within the width the window leaves it. A text that fits is
// drawn on one line; one that is wider is broken at its last space that fits and drawn on
// two lines, the second one line height below the first, so that the owner reads it whole.
// A text that no space breaks to fit, or whose rest is wider still, is drawn all the same
// and cut at the edge: none of the program's texts is such a text.
#pragma once

#include <windows.h>

// Lines of one text at most.
constexpr int FITTED_LINES = 2;

struct LineBreak {
    int firstLength;  // characters on the first line
    int restStart;    // where the second line begins; the text's length when there is none
};

// Where text (length characters) breaks to fit width pixels in the font selected into dc.
LineBreak BreakLine(HDC dc, const wchar_t* text, int length, int width);

// Draws text with its top-left corner at (x, y) within width pixels, a second line, if it
// needs one, lineHeight below the first.
void DrawFittedLine(HDC dc, int x, int y, int width, int lineHeight, const wchar_t* text);
