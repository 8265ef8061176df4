// updater-driver: plays the updater's user for ./run, with real mouse input on the window
// and reading the window as the user does. One step per call, so that the caller can take
// pictures in between:
//
//   updater-driver start            presses Start, and waits until the run is under way
//   updater-driver start-to-box     presses Start, waits for the box that asks first, and
//                                   prints its place on the screen: x y width height
//   updater-driver answer-box A     presses the box's Yes or No (A: yes | no) and waits until
//                                   the run is under way, or for No until the window is idle
//   updater-driver cancel-at P      waits until the bar stands at P % or more, presses Cancel
//   updater-driver await-end S      waits up to S seconds for the run to end, and prints
//                                   the status line as it reads on the screen
//   updater-driver close            presses Close, and waits until the window has gone
//   updater-driver where            prints the window's client area: x y width height
//
// Each waits for the window first. Exit code 0 when the step was done, 1 when it could not
// be, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "tests/e2e/screen_lines.h"
#include "tests/e2e/updater_window.h"

namespace {

constexpr DWORD WINDOW_MS = 30000;
constexpr DWORD STEP_MS = 10000;  // for the window to answer a press
constexpr DWORD RUN_MS = 600000;  // far longer than any run

const char USAGE[] =
    "usage: updater-driver start | start-to-box | answer-box yes|no | cancel-at PERCENT |\n"
    "       await-end SECONDS | close | where\n";

int Fail(const char* what) {
    fprintf(stderr, "updater-driver: %s\n", what);
    return 1;
}

// The port names the status line may mention: those listed for the receiver's driver.
std::vector<std::wstring> PossibleStatusLines() {
    std::vector<std::wstring> lines;
    HKEY active;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Drivers\\Active", 0, KEY_READ, &active) ==
        ERROR_SUCCESS) {
        wchar_t subkey[256];
        for (DWORD i = 0, chars = 256; RegEnumKeyExW(active, i, subkey, &chars, nullptr, nullptr,
                                                     nullptr, nullptr) == ERROR_SUCCESS;
             ++i, chars = 256) {
            wchar_t name[64] = L"";
            DWORD bytes = sizeof name - sizeof(wchar_t);
            if (RegGetValueW(active, subkey, L"Name", RRF_RT_REG_SZ, nullptr, name, &bytes) ==
                ERROR_SUCCESS) {
                const std::vector<std::wstring> more = StatusMessages(name);
                lines.insert(lines.end(), more.begin(), more.end());
            }
        }
        RegCloseKey(active);
    }
    if (lines.empty()) {
        lines = StatusMessages(L"COM5:");
    }
    return lines;
}

int Start(UpdaterWindow& window) {
    if (!window.IsIdle()) {
        return Fail("Start could not be pressed");
    }
    // A run that ends at once (no receiver listed, say) can be over before it is seen going
    // on; its last word on the status line shows that it ran.
    const ScreenLines lines(window);
    std::vector<std::wstring> possible = PossibleStatusLines();
    possible.push_back(L"");
    const std::wstring before = lines.ReadStatus(possible);
    if (!window.PressStart()) {
        return Fail("Start could not be pressed");
    }
    if (!WaitFor([&] { return window.IsRunning() || lines.ReadStatus(possible) != before; },
                 STEP_MS)) {
        return Fail("no run began");
    }
    return 0;
}

// The box must be whole on the screen: on the handheld's, a box that runs off its edge hides
// its question or its buttons.
int StartToBox(UpdaterWindow& window) {
    if (!window.IsIdle() || !window.PressStart()) {
        return Fail("Start could not be pressed");
    }
    const HWND box = window.AwaitBox(STEP_MS);
    if (box == nullptr) {
        return Fail("no box came");
    }
    RECT place;
    GetWindowRect(box, &place);
    if (place.left < 0 || place.top < 0 || place.right > GetSystemMetrics(SM_CXSCREEN) ||
        place.bottom > GetSystemMetrics(SM_CYSCREEN)) {
        return Fail("the box does not fit on the screen");
    }
    printf("%ld %ld %ld %ld\n", place.left, place.top, place.right - place.left,
           place.bottom - place.top);
    return 0;
}

int AnswerBox(UpdaterWindow& window, bool yes) {
    const HWND box = window.AwaitBox(STEP_MS);
    if (box == nullptr || !UpdaterWindow::PressBoxButton(box, yes ? IDYES : IDNO) ||
        !WaitFor([&] { return !IsWindow(box); }, STEP_MS)) {
        return Fail("the box could not be answered");
    }
    if (yes) {
        return WaitFor([&] { return !window.IsIdle(); }, STEP_MS) ? 0 : Fail("no run began");
    }
    // No: the window stays as it was, and no run begins.
    return WaitFor([&] { return !window.IsIdle(); }, STEP_MS / 10) ? Fail("a run began") : 0;
}

int CancelAt(UpdaterWindow& window, int percent) {
    if (!WaitFor([&] { return !window.IsRunning() || window.ProgressPosition() >= percent; },
                 RUN_MS) ||
        !window.IsRunning()) {
        return Fail("the run ended before it could be cancelled");
    }
    return window.PressClose() ? 0 : Fail("Cancel could not be pressed");
}

int AwaitEnd(UpdaterWindow& window, DWORD seconds) {
    if (!WaitFor([&] { return window.IsIdle(); }, seconds * 1000)) {
        return Fail("the run did not end in time");
    }
    ScreenLines lines(window);
    const std::vector<std::wstring> possible = PossibleStatusLines();
    std::wstring status;
    // The last repaint may still be on its way to the screen.
    WaitFor(
        [&] {
            status = lines.ReadStatus(possible);
            return status != UNREADABLE_LINE;
        },
        STEP_MS);
    printf("status line: %ls\n", status.c_str());
    return 0;
}

int Close(UpdaterWindow& window) {
    if (!window.PressClose()) {
        return Fail("Close could not be pressed");
    }
    return WaitFor([&] { return !window.Exists(); }, STEP_MS) ? 0 : Fail("the window stayed");
}

int Where(const UpdaterWindow& window) {
    const RECT client = window.ClientOnScreen();
    printf("%ld %ld %ld %ld\n", client.left, client.top, client.right - client.left,
           client.bottom - client.top);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fputs(USAGE, stderr);
        return 2;
    }
    const wchar_t* step = argv[1];
    const bool takesNumber = wcscmp(step, L"cancel-at") == 0 || wcscmp(step, L"await-end") == 0;
    const bool takesAnswer = wcscmp(step, L"answer-box") == 0;
    if ((takesNumber || takesAnswer) != (argc == 3) || argc > 3 ||
        (takesAnswer && wcscmp(argv[2], L"yes") != 0 && wcscmp(argv[2], L"no") != 0)) {
        fputs(USAGE, stderr);
        return 2;
    }
    const long number = takesNumber ? wcstol(argv[2], nullptr, 10) : 0;
    UpdaterWindow window;
    if (!window.Find(WINDOW_MS)) {
        return Fail("the updater's window is not there");
    }
    if (wcscmp(step, L"start") == 0) {
        return Start(window);
    }
    if (wcscmp(step, L"start-to-box") == 0) {
        return StartToBox(window);
    }
    if (takesAnswer) {
        return AnswerBox(window, wcscmp(argv[2], L"yes") == 0);
    }
    if (wcscmp(step, L"cancel-at") == 0) {
        return CancelAt(window, static_cast<int>(number));
    }
    if (wcscmp(step, L"await-end") == 0) {
        return AwaitEnd(window, static_cast<DWORD>(number));
    }
    if (wcscmp(step, L"close") == 0) {
        return Close(window);
    }
    if (wcscmp(step, L"where") == 0) {
        return Where(window);
    }
    fputs(USAGE, stderr);
    return 2;
}
