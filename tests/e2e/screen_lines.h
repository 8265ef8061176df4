// The updater window's status and time lines, read off the screen. A line is read by
// comparing its band of the screen, pixel for pixel, with a candidate text drawn the way a
// line of the window is drawn: black on white in 9-point "Tahoma" made with the program's
// own CreatePointFont, one layout unit in from the left. So a line reads a text only when
// the user sees exactly that text there, and nothing else in the band: no remains of an
// earlier text, no text at another place or in another font.
//
// The bands: the status line at 7 units from the top; the time line at 3 lines of the bold
// 9-point "Tahoma Bold"; each one unit high, or down to the foot of the second line for a
// text that the window breaks onto two (ui/fitted_line.h). The unit is measured off the window
// (UpdaterWindow::LineHeight).
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/program_texts.h"  // the lines the candidates come from
#include "tests/e2e/updater_window.h"

// What a line reads when it matches none of the candidates.
extern const wchar_t* const UNREADABLE_LINE;

class ScreenLines {
public:
    explicit ScreenLines(const UpdaterWindow& window);
    ~ScreenLines();
    ScreenLines(const ScreenLines&) = delete;
    ScreenLines& operator=(const ScreenLines&) = delete;

    // The candidate that the line shows, or UNREADABLE_LINE. An empty candidate stands for
    // a blank band.
    std::wstring ReadStatus(const std::vector<std::wstring>& candidates) const;
    std::wstring ReadTime(const std::vector<std::wstring>& candidates) const;

    // Evidence for a status line that reads otherwise than expected: saves its band as the
    // screen shows it and expected as it would be drawn there, as two pictures whose names
    // begin with pathStem; gives their names.
    std::string SaveStatus(const std::wstring& expected, const std::string& pathStem) const;

private:
    using Pixels = std::vector<uint32_t>;
    std::wstring Read(int top, const std::vector<std::wstring>& candidates) const;
    Pixels Capture(int top) const;
    int TwoLines() const;
    const Pixels& Drawn(const std::wstring& text) const;
    void SavePicture(const Pixels& pixels, const std::string& path) const;

    RECT client_;  // on the screen
    int unit_;
    int boldUnit_;
    int textUnit_;  // the line height of 9-point "Tahoma"
    HFONT font_;
    mutable std::map<std::wstring, Pixels> drawn_;  // each candidate is drawn once
};
