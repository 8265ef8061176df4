// The whole program in this process, many times over: the real entry point with its window,
// message loop and worker threads, on the fake platform with the simulated receiver at the
// far end of the port. Another thread plays the outside world: it presses Start, and
// closes the window (WM_CLOSE) at a random moment of the run, or lets run after run
// complete in one window.
//
// - Closed at 200 random moments, the program always ends, its message loop returning
//   exit code 0 within CLOSE_BOUND_MS of the WM_CLOSE, and the run it stopped has said its
//   last word; also when the worker faulted at a read.
// - After 100 complete runs in one window the process holds as many kernel handles and GDI
//   objects as after the first.
//
// VANDREL_SEED=<n> runs the one closing moment that a failure names.
#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/payload_images.h"
#include "sim/receiver_model.h"
#include "tests/fakes/fake_os.h"
#include "tests/fakes/seeded_random.h"
#include "tests/fakes/watchdog.h"
#include "ui/main_window.h"
#include "ui/status_lines.h"
#include "ui/window_procedure.h"

namespace {

constexpr uint64_t FIRST_MOMENT_SEED = 0xC105E000;
constexpr int MOMENTS = 200;
constexpr int RUNS_IN_ONE_WINDOW = 100;
constexpr DWORD CLOSE_BOUND_MS = 2000;
constexpr DWORD STALL_LIMIT_MS = 30000;

// --- Counting what the process holds ---------------------------------------------------------

// Kernel handles of this process. Wine 8 answers GetProcessHandleCount with 0; then the
// system's handle list is counted instead.
DWORD KernelHandleCount(const char** how) {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) {
        *how = "GetProcessHandleCount";
        return count;
    }
    using Query = NTSTATUS(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const Query query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    struct Entry {
        ULONG processId;
        UCHAR objectType;
        UCHAR flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    constexpr ULONG SYSTEM_HANDLE_INFORMATION = 16;
    std::vector<uint8_t> buffer(1 << 20);
    ULONG needed = 0;
    while (query(SYSTEM_HANDLE_INFORMATION, buffer.data(), static_cast<ULONG>(buffer.size()),
                 &needed) != 0) {
        buffer.resize(buffer.size() * 2);
    }
    const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
    const Entry* entry = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
    for (ULONG i = 0; i < entries; ++i) {
        count += entry[i].processId == GetCurrentProcessId();
    }
    *how = "the system's handle list";
    return count;
}

// GDI objects of this process. Wine 8 does not implement GetGuiResources
// (ERROR_CALL_NOT_IMPLEMENTED); there the process's GDI handle table, which Wine keeps per
// process and publishes in the process environment block as Windows does, is counted:
// every entry in use has a type.
DWORD GdiObjectCount(const char** how) {
    const DWORD count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (count != 0) {
        *how = "GetGuiResources";
        return count;
    }
    struct TableEntry {
        uint64_t object;
        uint32_t owner;
        uint16_t unique;
        uint8_t type;
        uint8_t flags;
        uint64_t user;
    };
    static_assert(sizeof(TableEntry) == 24, "the GDI handle table's entry");
    static_assert(sizeof(void*) == 8, "the table's place in the 64-bit PEB");
    constexpr size_t GDI_TABLE_OFFSET = 0xF8;
    constexpr size_t GDI_TABLE_ENTRIES = 0x10000;
    using Query = NTSTATUS(WINAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    const Query query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION basics = {};
    query(GetCurrentProcess(), ProcessBasicInformation, &basics, sizeof basics, nullptr);
    const uint8_t* peb = reinterpret_cast<const uint8_t*>(basics.PebBaseAddress);
    const TableEntry* table = *reinterpret_cast<const TableEntry* const*>(peb + GDI_TABLE_OFFSET);
    DWORD used = 0;
    for (size_t i = 0; table != nullptr && i < GDI_TABLE_ENTRIES; ++i) {
        used += table[i].type != 0;
    }
    *how = "the GDI handle table";
    return used;
}

struct Holdings {
    DWORD handles;
    DWORD gdiObjects;
};

// What the process holds once a moment has passed in which nothing changes: threads that
// have just ended may still be letting go of what they held.
Holdings SettledHoldings(const char** handlesHow, const char** gdiHow) {
    Holdings last = {KernelHandleCount(handlesHow), GdiObjectCount(gdiHow)};
    for (int i = 0; i < 50; ++i) {
        ::Sleep(20);
        const Holdings now = {KernelHandleCount(handlesHow), GdiObjectCount(gdiHow)};
        if (now.handles == last.handles && now.gdiObjects == last.gdiObjects) {
            return now;
        }
        last = now;
    }
    return last;
}

// --- The world around the program ------------------------------------------------------------

// The simulated receiver; with a pace, each batch of bytes from the updater and each look
// for a byte that finds none costs that many milliseconds of real time, so that a run
// lasts long enough for a close to land anywhere in it.
class Receiver : public fake::SerialPeer {
public:
    Receiver(const ReceiverScenario& scenario, DWORD paceMs)
        : model_(new ReceiverModel(scenario, LoaderImage, LOADER_IMAGE_SIZE, RomImage,
                                   ROM_IMAGE_SIZE)),
          paceMs_(paceMs) {}
    void OnHostBytes(const uint8_t* bytes, uint32_t count, uint32_t baud, uint32_t now) override {
        reached = true;
        model_->HostBytes(bytes, count, baud, now);
        Pace();
    }
    bool TakeByteForHost(uint32_t now, uint32_t baud, uint8_t* byte) override {
        if (model_->NextByte(now, baud, byte)) {
            return true;
        }
        Pace();
        return false;
    }
    const ReceiverSummary& Summary() const { return model_->Summary(); }

    std::atomic<bool> reached{false};  // a run has sent it something

private:
    void Pace() {
        if (paceMs_ != 0) {
            ::Sleep(paceMs_);
        }
    }
    std::unique_ptr<ReceiverModel> model_;
    DWORD paceMs_;
};

// A fresh fake world: the sleeve on COM5: with the receiver behind it.
void ListReceiver(Receiver* receiver) {
    fake::ResetWorld();
    fake::ListSleeve(L"COM5:");
    fake::AttachPeer(receiver);
}

// The run's possible last words: a run that ended, not one cut off half-way.
bool IsFinalStatus(const std::wstring& status) {
    const wchar_t* const FINAL[] = {
        L"Cancelled",
        L"Completed successfully",
        L"GPS update not supported",
        L"Timeout on erase operation",
        L"Error (read timeout): please check sleeve",
    };
    for (const wchar_t* final : FINAL) {
        if (status == final) {
            return true;
        }
    }
    return false;
}

// The outside world's view of the program's window.
struct Window {
    HWND main = nullptr;
    HWND start = nullptr;
    HWND close = nullptr;
};

BOOL CALLBACK TakeMainWindow(HWND window, LPARAM found) {
    wchar_t title[64] = L"";
    GetWindowTextW(window, title, 64);
    if (wcscmp(title, L"GPS ROM upgrade") == 0) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

// Waits until the program on that thread shows its window with all its controls.
Window AwaitWindow(DWORD uiThread) {
    Window window;
    for (;;) {
        EnumThreadWindows(uiThread, TakeMainWindow, reinterpret_cast<LPARAM>(&window.main));
        if (window.main != nullptr &&
            FindWindowExW(window.main, nullptr, L"msctls_progress32", nullptr) != nullptr) {
            window.start = FindWindowExW(window.main, nullptr, L"button", L"Start");
            window.close = FindWindowExW(window.main, nullptr, L"button", L"Close");
            return window;
        }
        ::Sleep(1);
    }
}

void PressButton(const Window& window, HWND button) {
    PostMessageW(window.main, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

std::wstring TextOf(HWND window) {
    wchar_t text[64] = L"";
    GetWindowTextW(window, text, 64);
    return text;
}

bool Idle(const Window& window) {
    return TextOf(window.close) == L"Close" && IsWindowEnabled(window.start);
}

// Runs the program's entry point on this thread, as the system would, and closes the
// program's remains that only its process's end would close.
int RunProgram() {
    const int exitCode =
        wWinMain(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWNORMAL);
    if (g_hCancelEvent != nullptr) {
        CloseHandle(g_hCancelEvent);
        g_hCancelEvent = nullptr;
    }
    return exitCode;
}

// --- Closing at random moments -----------------------------------------------------------

struct Moment {
    DWORD uiThread;
    DWORD delayMs;     // after Start, before WM_CLOSE
    DWORD closedTick;  // when WM_CLOSE was posted
};

DWORD WINAPI CloseAtMoment(LPVOID parameter) {
    Moment* moment = static_cast<Moment*>(parameter);
    const Window window = AwaitWindow(moment->uiThread);
    PressButton(window, window.start);
    ::Sleep(moment->delayMs);
    moment->closedTick = GetTickCount();
    PostMessageW(window.main, WM_CLOSE, 0, 0);
    return 0;
}

// A receiver for one moment: mostly a good one, else one that chatters and refuses, one
// that never answers the loader, or one that erases without end.
ReceiverScenario MomentReceiver(fake::SeededRandom& random) {
    ReceiverScenario scenario;
    switch (random.Below(10)) {
        case 0:
            scenario.handshake = false;
            break;
        case 1:
            scenario.silentErase = true;
            break;
        case 2:
        case 3:
            scenario.noiseCount = random.Between(1, 8);
            scenario.nakTimes[random.Below(18)] = 1;
            scenario.eraseMs = random.Below(3000);
            break;
        default:
            break;
    }
    return scenario;
}

struct CloseResult {
    bool ended;
    DWORD tookMs;
    std::wstring status;
};

CloseResult CloseOnce(uint64_t seed) {
    fake::SeededRandom random(seed);
    Receiver receiver(MomentReceiver(random), 1);
    ListReceiver(&receiver);
    Moment moment = {GetCurrentThreadId(), random.Below(300), 0};
    // Now and then the worker faults at a read, and the window is closed after its end.
    const bool faults = random.Chance(1, 10);
    if (faults) {
        const fake::Fault kinds[] = {fake::Fault::ACCESS_VIOLATION, fake::Fault::DIVIDE_BY_ZERO,
                                     fake::Fault::RAISED};
        fake::InjectedFault() = {kinds[random.Below(3)], fake::Call::ReadFile, random.Below(40)};
    }
    HANDLE outside = CreateThread(nullptr, 0, CloseAtMoment, &moment, 0, nullptr);

    int exitCode;
    {
        fake::Watchdog watchdog(STALL_LIMIT_MS, "VANDREL_SEED=" + std::to_string(seed) +
                                                    ": the program did not end: stalled");
        exitCode = RunProgram();
    }
    const DWORD endedTick = GetTickCount();
    WaitForSingleObject(outside, INFINITE);
    CloseHandle(outside);

    SCOPED_TRACE(testing::Message()
                 << "VANDREL_SEED=" << seed << ", closed " << moment.delayMs << " ms after Start");
    const DWORD took = endedTick - moment.closedTick;
    EXPECT_EQ(exitCode, 0);
    EXPECT_LE(took, CLOSE_BOUND_MS);
    EXPECT_EQ(g_hWorkerThread, nullptr) << "the worker's thread was not waited for";
    // A fault's last word is the empty line of a run without an upgrade error.
    EXPECT_TRUE(IsFinalStatus(g_statusText) || (faults && g_statusText[0] == L'\0'))
        << "the run was cut off";
    EXPECT_FALSE(fake::Port().open);
    EXPECT_EQ(fake::CloseCount(fake::PortHandle()), fake::Port().opens);
    return {!testing::Test::HasFailure(), took, g_statusText};
}

TEST(Lifetime, ClosingTheWindowAtAnyMomentOfARunEndsTheProgram) {
    if (const char* one = getenv("VANDREL_SEED")) {
        CloseOnce(strtoull(one, nullptr, 0));
        return;
    }
    DWORD longest = 0;
    std::map<std::wstring, int> lastWords;
    for (int i = 0; i < MOMENTS; ++i) {
        const CloseResult result = CloseOnce(FIRST_MOMENT_SEED + i);
        if (!result.ended) {
            return;
        }
        longest = std::max(longest, result.tookMs);
        ++lastWords[result.status];
    }
    printf(
        "%d closes at random moments: the program ended every time, at most %lu ms after "
        "WM_CLOSE; the runs' last words:",
        MOMENTS, static_cast<unsigned long>(longest));
    for (const auto& [status, count] : lastWords) {
        printf(" \"%ls\" %d;", status.c_str(), count);
    }
    printf("\n");
}

// --- Many runs in one window -------------------------------------------------------------

struct Repeat {
    DWORD uiThread;
    int completed = 0;
    Holdings afterFirst = {};
    Holdings afterLast = {};
    const char* handlesHow = "";
    const char* gdiHow = "";
};

DWORD WINAPI RunAgainAndAgain(LPVOID parameter) {
    Repeat* repeat = static_cast<Repeat*>(parameter);
    const Window window = AwaitWindow(repeat->uiThread);
    for (int run = 0; run < RUNS_IN_ONE_WINDOW; ++run) {
        // The last run's worker has posted its finish report, its last act: the fake world
        // is the outside world's again.
        Receiver receiver(ReceiverScenario{}, 0);
        ListReceiver(&receiver);
        // Pressed again until the run has begun: the last worker may not have ended quite
        // yet, and Start does nothing while it has not.
        while (!receiver.reached) {
            PressButton(window, window.start);
            for (int wait = 0; wait < 20 && !receiver.reached; ++wait) {
                ::Sleep(1);
            }
        }
        // The window is idle again once it has handled the finish report.
        while (!Idle(window)) {
            ::Sleep(1);
        }
        repeat->completed += receiver.Summary().romIdentical;
        if (run == 0) {
            repeat->afterFirst = SettledHoldings(&repeat->handlesHow, &repeat->gdiHow);
        }
    }
    repeat->afterLast = SettledHoldings(&repeat->handlesHow, &repeat->gdiHow);
    PostMessageW(window.main, WM_CLOSE, 0, 0);
    return 0;
}

TEST(Lifetime, AHundredRunsInOneWindowLeaveNothingBehind) {
    Repeat repeat;
    repeat.uiThread = GetCurrentThreadId();
    HANDLE outside = CreateThread(nullptr, 0, RunAgainAndAgain, &repeat, 0, nullptr);
    int exitCode;
    {
        fake::Watchdog watchdog(300000, "The repeated runs did not end: stalled");
        exitCode = RunProgram();
    }
    WaitForSingleObject(outside, INFINITE);
    CloseHandle(outside);

    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(repeat.completed, RUNS_IN_ONE_WINDOW);
    EXPECT_EQ(repeat.afterLast.handles, repeat.afterFirst.handles);
    EXPECT_EQ(repeat.afterLast.gdiObjects, repeat.afterFirst.gdiObjects);
    printf(
        "%d complete runs in one window: %lu kernel handles (%s) and %lu GDI objects (%s) "
        "after the first, %lu and %lu after the last\n",
        repeat.completed, static_cast<unsigned long>(repeat.afterFirst.handles), repeat.handlesHow,
        static_cast<unsigned long>(repeat.afterFirst.gdiObjects), repeat.gdiHow,
        static_cast<unsigned long>(repeat.afterLast.handles),
        static_cast<unsigned long>(repeat.afterLast.gdiObjects));
}

}  // namespace
