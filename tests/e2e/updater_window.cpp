#include "tests/e2e/updater_window.h"

#include <commctrl.h>

#include <vector>

namespace {

const wchar_t WINDOW_TITLE[] = L"GPS ROM upgrade";
const wchar_t START_CAPTION[] = L"Start";
constexpr DWORD ANSWER_MS = 1000;        // a window that takes longer counts as hung
constexpr DWORD POINTER_MOVE_MS = 1000;  // for the pointer to arrive where it was sent
const wchar_t BOX_CLASS[] = L"#32770";
constexpr int BOX_TEXT_ID = 0xFFFF;  // a message box's static control that shows its text

struct Controls {
    HWND start = nullptr;
    HWND close = nullptr;
    HWND progress = nullptr;
};

bool HasClass(HWND window, const wchar_t* className) {
    wchar_t name[64];
    GetClassNameW(window, name, 64);
    return _wcsicmp(name, className) == 0;
}

// The first visible message box that chosen accepts, once there is one, or null after
// timeoutMs.
template <typename Chosen>
HWND AwaitVisibleBox(Chosen chosen, DWORD timeoutMs) {
    HWND box = nullptr;
    WaitFor(
        [&] {
            box = nullptr;
            for (HWND w = FindWindowW(BOX_CLASS, nullptr); w != nullptr && box == nullptr;
                 w = FindWindowExW(nullptr, w, BOX_CLASS, nullptr)) {
                if (IsWindowVisible(w) && chosen(w)) {
                    box = w;
                }
            }
            return box != nullptr;
        },
        timeoutMs);
    return box;
}

// Start keeps its caption; the other button is Close, whatever it reads at the moment.
BOOL CALLBACK NoteControl(HWND child, LPARAM parameter) {
    Controls* controls = reinterpret_cast<Controls*>(parameter);
    wchar_t caption[32];
    GetWindowTextW(child, caption, 32);
    if (HasClass(child, L"Button")) {
        (wcscmp(caption, START_CAPTION) == 0 ? controls->start : controls->close) = child;
    } else if (HasClass(child, PROGRESS_CLASSW)) {
        controls->progress = child;
    }
    return TRUE;
}

// Absolute mouse positions are given in 65,536ths of the screen; this is the first such
// position that falls on the pixel.
LONG Normalised(LONG pixel, int screenPixels) {
    return static_cast<LONG>((pixel * 65536LL + screenPixels - 1) / screenPixels);
}

INPUT MouseInput(DWORD flags, LONG dx = 0, LONG dy = 0) {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = dx;
    input.mi.dy = dy;
    input.mi.dwFlags = flags;
    return input;
}

}  // namespace

bool UpdaterWindow::Find(DWORD timeoutMs, DWORD processId) {
    return WaitFor(
        [&] {
            HWND window = FindWindowW(nullptr, WINDOW_TITLE);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (window == nullptr || !IsWindowVisible(window) ||
                (processId != 0 && owner != processId)) {
                return false;
            }
            Controls controls;
            EnumChildWindows(window, NoteControl, reinterpret_cast<LPARAM>(&controls));
            if (controls.start == nullptr || controls.close == nullptr ||
                controls.progress == nullptr) {
                return false;
            }
            window_ = window;
            start_ = controls.start;
            close_ = controls.close;
            progress_ = controls.progress;
            return true;
        },
        timeoutMs);
}

HWND UpdaterWindow::AwaitBox(DWORD timeoutMs) const {
    return AwaitVisibleBox([&](HWND box) { return GetWindow(box, GW_OWNER) == window_; },
                           timeoutMs);
}

HWND UpdaterWindow::AwaitOwnerlessBox(DWORD processId, DWORD timeoutMs) {
    return AwaitVisibleBox(
        [&](HWND box) {
            DWORD process = 0;
            GetWindowThreadProcessId(box, &process);
            return process == processId && GetWindow(box, GW_OWNER) == nullptr;
        },
        timeoutMs);
}

std::wstring UpdaterWindow::BoxText(HWND box) {
    wchar_t text[256] = L"";
    GetDlgItemTextW(box, BOX_TEXT_ID, text, 256);
    return text;
}

int UpdaterWindow::ProgressPosition() const {
    DWORD_PTR position = 0;
    if (SendMessageTimeoutW(progress_, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, ANSWER_MS, &position) ==
        0) {
        return -1;
    }
    return static_cast<int>(position);
}

RECT UpdaterWindow::ClientOnScreen() const {
    RECT client;
    GetClientRect(window_, &client);
    MapWindowPoints(window_, nullptr, reinterpret_cast<POINT*>(&client), 2);
    return client;
}

int UpdaterWindow::LineHeight() const {
    RECT button;
    GetWindowRect(start_, &button);
    return (button.bottom - button.top) / 2;
}

std::wstring UpdaterWindow::Caption(HWND control) {
    wchar_t caption[64] = L"";
    GetWindowTextW(control, caption, 64);
    return caption;
}

bool UpdaterWindow::Press(HWND button, int clicks) {
    RECT place;
    if (!GetWindowRect(button, &place)) {
        return false;
    }
    const POINT middle = {(place.left + place.right) / 2, (place.top + place.bottom) / 2};
    const LONG x = Normalised(middle.x, GetSystemMetrics(SM_CXSCREEN));
    const LONG y = Normalised(middle.y, GetSystemMetrics(SM_CYSCREEN));
    constexpr DWORD AT_THE_MIDDLE = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    INPUT move = MouseInput(AT_THE_MIDDLE, x, y);
    if (SendInput(1, &move, sizeof move) != 1 || !WaitFor(
                                                     [&] {
                                                         POINT at;
                                                         GetCursorPos(&at);
                                                         return at.x == middle.x &&
                                                                at.y == middle.y;
                                                     },
                                                     POINTER_MOVE_MS)) {
        return false;
    }
    // Each press and release carries its place too, so that it lands where it was aimed even
    // should the pointer be moved back after it arrived: a window that Wine has just mapped
    // under the pointer's old place (the Close button of the test before, at the same
    // place) may yet report that place, and a click there would close the new window.
    std::vector<INPUT> presses;
    for (int i = 0; i < clicks; ++i) {
        presses.push_back(MouseInput(MOUSEEVENTF_LEFTDOWN | AT_THE_MIDDLE, x, y));
        presses.push_back(MouseInput(MOUSEEVENTF_LEFTUP | AT_THE_MIDDLE, x, y));
    }
    const UINT count = static_cast<UINT>(presses.size());
    return SendInput(count, presses.data(), sizeof(INPUT)) == count;
}
