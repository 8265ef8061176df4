// bench-window-driver: plays the user of a window program from outside, as the benchmark
// needs it, and reports what it timed as "name=value" lines (times in microseconds of the
// performance counter, which other programs on the machine read too).
//
//   startup PROGRAM TITLE  launch to the window drawn; then closes it
//   run PROGRAM            one update: Start, and the run's wall and CPU time to its end
//   hold PROGRAM MS        Start, the updater's CPU time over MS from 2 s after Start on
//                          (the receiver is erasing by then), then Cancel
//   cancel PROGRAM MS      Start, wait for the first chunk to be accepted and MS more,
//                          Cancel, and the time until Close is back and "Cancelled" is
//                          on the screen
//
// The updater's window is met as the end-to-end tests meet it (tests/e2e): buttons pressed
// with real mouse input, the status line read off the screen.
#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <cwchar>
#include <string>

#include "tests/e2e/child_process.h"
#include "tests/e2e/screen_lines.h"
#include "tests/e2e/updater_window.h"

namespace {

const wchar_t CANCELLED_TEXT[] = L"Cancelled";

constexpr DWORD WINDOW_WAIT_MS = 20000;   // a program that shows nothing by then has failed
constexpr DWORD RUN_WAIT_MS = 120000;     // a whole update, with room to spare
constexpr DWORD EXIT_WAIT_MS = 10000;     // a closed window's program ends well before this
constexpr DWORD ERASE_REACHED_MS = 2000;  // Start to the erase wait: link set up, loader sent
// Watching what is being timed: the counter says when the change was seen, the poll how
// late at most.
constexpr DWORD TIMED_POLL_MS = 1;

uint64_t NowUs() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<uint64_t>(count.QuadPart / (frequency.QuadPart / 1000000));
}

// Leaves the step: the programs launched are ended on the way out.
struct Failure {
    std::string what;
};

[[noreturn]] void Fail(const std::string& what) {
    throw Failure{what};
}

// User plus kernel time of a process, in microseconds.
uint64_t CpuUs(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    FILETIME created, exited, kernel, user;
    if (process == nullptr || !GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        Fail("no process times");
    }
    CloseHandle(process);
    const auto us = [](const FILETIME& t) {
        return ((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 10;  // 100 ns units
    };
    return us(kernel) + us(user);
}

void Launch(ChildProcess& child, const wchar_t* program) {
    wchar_t directory[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, directory);
    if (!child.Start(program, L"", directory)) {
        Fail("cannot launch the program: " + child.StartFailure());
    }
}

// Ends the program as its user would: by closing its window.
void CloseProgram(ChildProcess& child, HWND window) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode;
    if (!child.Wait(EXIT_WAIT_MS, &exitCode)) {
        Fail("the program did not end when its window was closed");
    }
}

struct Search {
    DWORD processId;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK MatchTopWindow(HWND window, LPARAM parameter) {
    Search& search = *reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t title[100];
    if (owner == search.processId && GetWindowTextW(window, title, 100) > 0 &&
        wcscmp(title, search.title) == 0) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

// Nothing of the window or its children is waiting to be painted.
bool IsPainted(HWND window) {
    if (GetUpdateRect(window, nullptr, FALSE)) {
        return false;
    }
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetUpdateRect(child, nullptr, FALSE)) {
            return false;
        }
    }
    return true;
}

// Any program's window, once it is shown with nothing left to paint: start-up is timed the
// same way for the updater and for the yardstick.
HWND AwaitDrawnWindow(DWORD processId, const wchar_t* title) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < WINDOW_WAIT_MS) {
        Search search = {processId, title, nullptr};
        EnumWindows(MatchTopWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr && IsWindowVisible(search.found) && IsPainted(search.found)) {
            return search.found;
        }
        Sleep(TIMED_POLL_MS);
    }
    Fail("the window was not drawn in time");
}

void LaunchUpdater(ChildProcess& child, UpdaterWindow& window, const wchar_t* program) {
    Launch(child, program);
    if (!window.Find(WINDOW_WAIT_MS, child.Id())) {
        Fail("the updater's window did not appear");
    }
}

// Presses Start and returns once the run is under way.
void StartRun(UpdaterWindow& window) {
    if (!window.PressStart() || !WaitFor([&] { return window.IsRunning(); }, WINDOW_WAIT_MS)) {
        Fail("Start did not start a run");
    }
}

void AwaitRunEnd(const UpdaterWindow& window) {
    if (!WaitFor([&] { return window.IsIdle(); }, RUN_WAIT_MS)) {
        Fail("the run did not end");
    }
}

void Startup(const wchar_t* program, const wchar_t* title) {
    ChildProcess child;
    const uint64_t launched = NowUs();
    Launch(child, program);
    HWND window = AwaitDrawnWindow(child.Id(), title);
    printf("startup_us=%" PRIu64 "\n", NowUs() - launched);
    CloseProgram(child, window);
}

void Run(const wchar_t* program) {
    ChildProcess child;
    UpdaterWindow window;
    LaunchUpdater(child, window, program);
    const uint64_t cpuBefore = CpuUs(child.Id());
    const uint64_t started = NowUs();
    StartRun(window);
    AwaitRunEnd(window);
    printf("run_us=%" PRIu64 "\n", NowUs() - started);
    printf("cpu_us=%" PRIu64 "\n", CpuUs(child.Id()) - cpuBefore);
    CloseProgram(child, window.Window());
}

void Hold(const wchar_t* program, DWORD holdMs) {
    ChildProcess child;
    UpdaterWindow window;
    LaunchUpdater(child, window, program);
    StartRun(window);
    Sleep(ERASE_REACHED_MS);
    const uint64_t cpuBefore = CpuUs(child.Id());
    const uint64_t started = NowUs();
    Sleep(holdMs);
    printf("hold_us=%" PRIu64 "\n", NowUs() - started);
    printf("cpu_us=%" PRIu64 "\n", CpuUs(child.Id()) - cpuBefore);
    if (!window.IsRunning()) {
        Fail("the run ended during the hold");
    }
    if (!window.PressClose()) {
        Fail("Cancel could not be pressed");
    }
    AwaitRunEnd(window);
    CloseProgram(child, window.Window());
}

void Cancel(const wchar_t* program, DWORD delayMs) {
    ChildProcess child;
    UpdaterWindow window;
    LaunchUpdater(child, window, program);
    const ScreenLines lines(window);
    StartRun(window);
    if (!WaitFor([&] { return window.ProgressPosition() > 0; }, RUN_WAIT_MS)) {
        Fail("no chunk was accepted");
    }
    Sleep(delayMs);
    if (!window.IsRunning()) {
        Fail("the run ended before Cancel");
    }
    if (!window.PressClose()) {
        Fail("Cancel could not be pressed");
    }
    const uint64_t clicked = NowUs();  // the click is in the input queue
    // The screen is read only once the window says it is done: Close back, Start enabled,
    // and nothing left to paint.
    while (!window.IsIdle() || !IsPainted(window.Window()) ||
           lines.ReadStatus({CANCELLED_TEXT}) != CANCELLED_TEXT) {
        if (NowUs() - clicked > uint64_t{RUN_WAIT_MS} * 1000) {
            Fail("Cancel did not end the run with \"Cancelled\"");
        }
        Sleep(TIMED_POLL_MS);
    }
    const uint64_t done = NowUs();
    printf("click_at_us=%" PRIu64 "\n", clicked);
    printf("latency_us=%" PRIu64 "\n", done - clicked);
    CloseProgram(child, window.Window());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* mode = argc > 1 ? argv[1] : L"";
    try {
        if (argc == 4 && wcscmp(mode, L"startup") == 0) {
            Startup(argv[2], argv[3]);
        } else if (argc == 3 && wcscmp(mode, L"run") == 0) {
            Run(argv[2]);
        } else if (argc == 4 && wcscmp(mode, L"hold") == 0) {
            Hold(argv[2], static_cast<DWORD>(wcstoul(argv[3], nullptr, 10)));
        } else if (argc == 4 && wcscmp(mode, L"cancel") == 0) {
            Cancel(argv[2], static_cast<DWORD>(wcstoul(argv[3], nullptr, 10)));
        } else {
            fputs(
                "usage: bench-window-driver startup PROGRAM TITLE | run PROGRAM |"
                " hold PROGRAM MS | cancel PROGRAM MS\n",
                stderr);
            return 2;
        }
    } catch (const Failure& failure) {
        fprintf(stderr, "bench-window-driver: %s\n", failure.what.c_str());
        return 1;
    }
    fflush(stdout);
    return 0;
}
