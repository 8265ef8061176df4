#include "tests/e2e/screen_lines.h"

#include <algorithm>
#include <cwchar>
#include <fstream>

#include "ui/fitted_line.h"
#include "ui/point_font.h"

const wchar_t* const UNREADABLE_LINE = L"(none of the expected texts)";

namespace {

constexpr int32_t NINE_POINTS = 90;
constexpr int STATUS_ROW = 7;  // in units
constexpr int TIME_ROW = 3;    // in bold lines
// In a line as drawn: a pixel not compared. No captured pixel has its top byte set.
constexpr uint32_t ANY = 0xFF000000;

int LineHeightOf(HDC dc, HFONT font) {
    HGDIOBJ previous = SelectObject(dc, font);
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, previous);
    return metrics.tmHeight + metrics.tmExternalLeading;
}

// A top-down 32-bit bitmap of width x height, selected into a memory DC.
class Canvas {
public:
    Canvas(HDC reference, int width, int height) : width_(width), height_(height) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        bitmap_ = CreateDIBSection(reference, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
        dc_ = CreateCompatibleDC(reference);
        previous_ = SelectObject(dc_, bitmap_);
    }
    ~Canvas() {
        SelectObject(dc_, previous_);
        DeleteDC(dc_);
        DeleteObject(bitmap_);
    }
    HDC Dc() const { return dc_; }

    // The pixels as 0x00RRGGBB.
    std::vector<uint32_t> Pixels() const {
        GdiFlush();
        const uint32_t* begin = static_cast<const uint32_t*>(bits_);
        std::vector<uint32_t> pixels(begin, begin + size_t(width_) * height_);
        for (uint32_t& pixel : pixels) {
            pixel &= 0x00FFFFFF;
        }
        return pixels;
    }

private:
    int width_;
    int height_;
    HBITMAP bitmap_;
    HDC dc_;
    HGDIOBJ previous_;
    void* bits_ = nullptr;
};

}  // namespace

ScreenLines::ScreenLines(const UpdaterWindow& window)
    : client_(window.ClientOnScreen()), unit_(window.LineHeight()) {
    HDC screen = GetDC(nullptr);
    font_ = CreatePointFont(screen, L"Tahoma", NINE_POINTS, 0, 0, true);
    HFONT bold = CreatePointFont(screen, L"Tahoma Bold", NINE_POINTS, 0, 0, true);
    boldUnit_ = LineHeightOf(screen, bold);
    textUnit_ = LineHeightOf(screen, font_);
    DeleteObject(bold);
    ReleaseDC(nullptr, screen);
}

ScreenLines::~ScreenLines() {
    DeleteObject(font_);
}

// The height that a text broken onto two lines takes: the second line's text, one unit
// below the first, as high as its face makes it.
int ScreenLines::TwoLines() const {
    return (FITTED_LINES - 1) * unit_ + textUnit_;
}

std::wstring ScreenLines::ReadStatus(const std::vector<std::wstring>& candidates) const {
    return Read(STATUS_ROW * unit_, candidates);
}

std::wstring ScreenLines::ReadTime(const std::vector<std::wstring>& candidates) const {
    return Read(TIME_ROW * boldUnit_, candidates);
}

std::wstring ScreenLines::Read(int top, const std::vector<std::wstring>& candidates) const {
    const Pixels seen = Capture(top);
    for (const std::wstring& candidate : candidates) {
        const Pixels& drawn = Drawn(candidate);
        if (std::equal(drawn.begin(), drawn.end(), seen.begin(),
                       [](uint32_t want, uint32_t got) { return want == ANY || want == got; })) {
            return candidate;
        }
    }
    return UNREADABLE_LINE;
}

std::string ScreenLines::SaveStatus(const std::wstring& expected,
                                    const std::string& pathStem) const {
    const std::string seen = pathStem + "-seen.bmp", drawn = pathStem + "-expected.bmp";
    SavePicture(Capture(STATUS_ROW * unit_), seen);
    SavePicture(Drawn(expected), drawn);
    return seen + " and " + drawn;
}

// A top-down 32-bit BMP file.
void ScreenLines::SavePicture(const Pixels& pixels, const std::string& path) const {
    const int width = client_.right - client_.left;
    const LONG height = LONG(pixels.size() / width);
    BITMAPINFOHEADER info = {sizeof info, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    const DWORD pixelBytes = DWORD(pixels.size() * sizeof pixels[0]);
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + pixelBytes;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info), sizeof info);
    out.write(reinterpret_cast<const char*>(pixels.data()), pixelBytes);
}

ScreenLines::Pixels ScreenLines::Capture(int top) const {
    const int width = client_.right - client_.left;
    HDC screen = GetDC(nullptr);
    Canvas band(screen, width, TwoLines());
    BitBlt(band.Dc(), 0, 0, width, TwoLines(), screen, client_.left, client_.top + top, SRCCOPY);
    ReleaseDC(nullptr, screen);
    return band.Pixels();
}

const ScreenLines::Pixels& ScreenLines::Drawn(const std::wstring& text) const {
    auto found = drawn_.find(text);
    if (found != drawn_.end()) {
        return found->second;
    }
    const int width = client_.right - client_.left;
    HDC screen = GetDC(nullptr);
    Canvas band(screen, width, TwoLines());
    ReleaseDC(nullptr, screen);
    RECT all = {0, 0, width, TwoLines()};
    FillRect(band.Dc(), &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SelectObject(band.Dc(), font_);
    SetTextColor(band.Dc(), RGB(0, 0, 0));
    const int lineWidth = width - unit_;
    DrawFittedLine(band.Dc(), unit_, 0, lineWidth, unit_, text.c_str());
    // A text on one line is compared on its first line alone: on a desktop's window the
    // second line's place may hold the top of the red notice below.
    const int length = static_cast<int>(text.size());
    const LineBreak lines = BreakLine(band.Dc(), text.c_str(), length, lineWidth);
    const bool oneLine = lines.restStart == length;
    Pixels pixels = band.Pixels();
    if (oneLine) {
        pixels.resize(size_t(width) * unit_);
        return drawn_[text] = pixels;
    }
    // A second line is compared within its own cell only: right of it, the red notice may
    // come as close as the fonts put it (the program draws the status over the notice).
    SIZE rest;
    GetTextExtentPoint32W(band.Dc(), text.c_str() + lines.restStart, length - lines.restStart,
                          &rest);
    for (int y = unit_; y < TwoLines(); ++y) {
        std::fill(pixels.begin() + size_t(y) * width + std::min(width, unit_ + int(rest.cx)),
                  pixels.begin() + size_t(y + 1) * width, ANY);
    }
    return drawn_[text] = pixels;
}
