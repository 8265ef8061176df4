// bench-window-driver: plays the user of a window program from outside, as the benchmark
// needs it, and reports what it timed as "name=value" lines (times in microseconds of the
// performance counter, which other programs on the machine read too).
//
//   startup PROGRAM TITLE  launch to the window drawn; then closes it
//   run PROGRAM            one update: Start, and the run's wall and CPU time to its end
//   hold PROGRAM MS        Start, the updater's CPU time over MS from 2 s after Start on
//                          (the receiver is erasing by then), then Cancel
//   cancel PROGRAM MS      Start, wait for the first chunk to be accepted and MS more,
//                          Cancel, and the time until Close is back and all is painted
//
// Buttons are pressed with a posted BM_CLICK, the message a click on them turns into. The
// window is watched with calls that read its state without sending it anything, apart
// from asking the progress bar its position.
#include <windows.h>

#include <commctrl.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

const wchar_t UPDATER_TITLE[] = L"GPS ROM upgrade";
const wchar_t START_TEXT[] = L"Start";
const wchar_t CLOSE_TEXT[] = L"Close";
const wchar_t CANCEL_TEXT[] = L"Cancel";

constexpr DWORD WINDOW_WAIT_MS = 20000;   // a program that shows nothing by then has failed
constexpr DWORD RUN_WAIT_MS = 120000;     // a whole update, with room to spare
constexpr DWORD EXIT_WAIT_MS = 10000;     // a closed window's program ends well before this
constexpr DWORD ERASE_REACHED_MS = 2000;  // Start to the erase wait: link set up, loader sent
constexpr DWORD RUN_POLL_MS = 10;         // watching a run whose end is not being timed
// Watching what is being timed: the counter says when the change was seen, the poll how
// late at most.
constexpr DWORD TIMED_POLL_MS = 1;

uint64_t NowUs() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<uint64_t>(count.QuadPart / (frequency.QuadPart / 1000000));
}

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "bench-window-driver: %s\n", what);
    exit(1);
}

// User plus kernel time of a process, in microseconds.
uint64_t CpuUs(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        Fail("no process times");
    }
    const auto us = [](const FILETIME& t) {
        return ((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 10;  // 100 ns units
    };
    return us(kernel) + us(user);
}

PROCESS_INFORMATION Launch(const wchar_t* program) {
    wchar_t commandLine[MAX_PATH + 2];
    swprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", program);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        Fail("cannot launch the program");
    }
    return process;
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

HWND FindProgramWindow(DWORD processId, const wchar_t* title) {
    Search search = {processId, title, nullptr};
    EnumWindows(MatchTopWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
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

// The program's window, once it is shown and painted.
HWND AwaitDrawnWindow(const PROCESS_INFORMATION& process, const wchar_t* title) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < WINDOW_WAIT_MS) {
        HWND window = FindProgramWindow(process.dwProcessId, title);
        if (window != nullptr && IsWindowVisible(window) && IsPainted(window)) {
            return window;
        }
        Sleep(TIMED_POLL_MS);
    }
    Fail("the window was not drawn in time");
}

void CloseProgram(const PROCESS_INFORMATION& process, HWND window) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, EXIT_WAIT_MS) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        Fail("the program did not end when its window was closed");
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

HWND FindChild(HWND window, const wchar_t* className, const wchar_t* text) {
    HWND child = FindWindowExW(window, nullptr, className, text);
    if (child == nullptr) {
        Fail("a control of the window is missing");
    }
    return child;
}

bool HasText(HWND control, const wchar_t* text) {
    wchar_t now[32];
    GetWindowTextW(control, now, 32);
    return wcscmp(now, text) == 0;
}

void Press(HWND button) {
    PostMessageW(button, BM_CLICK, 0, 0);
}

// The updater's window with its buttons.
struct Updater {
    PROCESS_INFORMATION process;
    HWND window;
    HWND startButton;
    HWND closeButton;
    HWND progressBar;
};

Updater LaunchUpdater(const wchar_t* program) {
    Updater updater;
    updater.process = Launch(program);
    updater.window = AwaitDrawnWindow(updater.process, UPDATER_TITLE);
    updater.startButton = FindChild(updater.window, L"Button", START_TEXT);
    updater.closeButton = FindChild(updater.window, L"Button", CLOSE_TEXT);
    updater.progressBar = FindChild(updater.window, PROGRESS_CLASSW, nullptr);
    return updater;
}

// Presses Start and returns once the run is under way (Close reads "Cancel").
void StartRun(const Updater& updater) {
    Press(updater.startButton);
    const DWORD start = GetTickCount();
    while (!HasText(updater.closeButton, CANCEL_TEXT)) {
        if (GetTickCount() - start > WINDOW_WAIT_MS) {
            Fail("Start did not start a run");
        }
        Sleep(TIMED_POLL_MS);
    }
}

bool IsIdle(const Updater& updater) {
    return HasText(updater.closeButton, CLOSE_TEXT) && IsWindowEnabled(updater.startButton);
}

void AwaitIdle(const Updater& updater, DWORD pollMs) {
    const DWORD start = GetTickCount();
    while (!IsIdle(updater)) {
        if (GetTickCount() - start > RUN_WAIT_MS) {
            Fail("the run did not end");
        }
        Sleep(pollMs);
    }
}

int ProgressPosition(const Updater& updater) {
    DWORD_PTR position = 0;
    SendMessageTimeoutW(updater.progressBar, PBM_GETPOS, 0, 0, SMTO_NORMAL, WINDOW_WAIT_MS,
                        &position);
    return static_cast<int>(position);
}

void Startup(const wchar_t* program, const wchar_t* title) {
    const uint64_t launched = NowUs();
    const PROCESS_INFORMATION process = Launch(program);
    HWND window = AwaitDrawnWindow(process, title);
    printf("startup_us=%" PRIu64 "\n", NowUs() - launched);
    CloseProgram(process, window);
}

void Run(const wchar_t* program) {
    const Updater updater = LaunchUpdater(program);
    const uint64_t cpuBefore = CpuUs(updater.process.hProcess);
    const uint64_t started = NowUs();
    StartRun(updater);
    AwaitIdle(updater, RUN_POLL_MS);
    const uint64_t ended = NowUs();
    printf("run_us=%" PRIu64 "\n", ended - started);
    printf("cpu_us=%" PRIu64 "\n", CpuUs(updater.process.hProcess) - cpuBefore);
    CloseProgram(updater.process, updater.window);
}

void Hold(const wchar_t* program, DWORD holdMs) {
    const Updater updater = LaunchUpdater(program);
    StartRun(updater);
    Sleep(ERASE_REACHED_MS);
    if (IsIdle(updater)) {
        Fail("the run ended before the hold");
    }
    const uint64_t cpuBefore = CpuUs(updater.process.hProcess);
    const uint64_t started = NowUs();
    Sleep(holdMs);
    printf("hold_us=%" PRIu64 "\n", NowUs() - started);
    printf("cpu_us=%" PRIu64 "\n", CpuUs(updater.process.hProcess) - cpuBefore);
    if (IsIdle(updater)) {
        Fail("the run ended during the hold");
    }
    Press(updater.closeButton);
    AwaitIdle(updater, RUN_POLL_MS);
    CloseProgram(updater.process, updater.window);
}

void Cancel(const wchar_t* program, DWORD delayMs) {
    const Updater updater = LaunchUpdater(program);
    StartRun(updater);
    const DWORD start = GetTickCount();
    while (ProgressPosition(updater) == 0) {
        if (GetTickCount() - start > RUN_WAIT_MS) {
            Fail("no chunk was accepted");
        }
        Sleep(RUN_POLL_MS);
    }
    Sleep(delayMs);
    if (IsIdle(updater)) {
        Fail("the run ended before Cancel");
    }
    const uint64_t clicked = NowUs();
    Press(updater.closeButton);
    // "Cancelled" is written and its band invalidated before the worker reports its end,
    // so once Close is back, a window with nothing left to paint shows it.
    while (!IsIdle(updater) || !IsPainted(updater.window)) {
        if (NowUs() - clicked > uint64_t{RUN_WAIT_MS} * 1000) {
            Fail("Cancel did not end the run");
        }
        Sleep(TIMED_POLL_MS);
    }
    const uint64_t done = NowUs();
    printf("click_at_us=%" PRIu64 "\n", clicked);
    printf("latency_us=%" PRIu64 "\n", done - clicked);
    CloseProgram(updater.process, updater.window);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* mode = argc > 1 ? argv[1] : L"";
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
            "usage: bench-window-driver startup PROGRAM TITLE | run PROGRAM | hold PROGRAM MS |"
            " cancel PROGRAM MS\n",
            stderr);
        return 2;
    }
    fflush(stdout);
    return 0;
}
