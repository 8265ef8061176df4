// An update run against the simulated receiver through the fake serial port, in virtual
// time, on the test's own thread: the registry holds a sleeve on COM5:, the receiver
// behaves as its scenario says, and a real (hidden) window with a progress bar receives
// what the worker reports.
//
// Use it to check what a whole run does, fast and without real time. Prefer the bare fake
// (fake_os.h) for one engine part, harness::MainWindowTest for what the window does with a
// run, and the end-to-end world (e2e/updater_world.h) for the real program on a real line.
#pragma once

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/update_run.h"
#include "engine/upgrade_context.h"
#include "sim/receiver_model.h"
#include "tests/fakes/allocation_counter.h"
#include "tests/fakes/fake_os.h"
#include "tests/fakes/payload_files.h"
#include "tests/fakes/receiver_peer.h"
#include "tests/fakes/scoped_world.h"
#include "ui/main_window.h"
#include "ui/status_lines.h"

namespace world {

using fake::LoaderFile;
using fake::RomFile;

// Every position the worker sent to the progress bar during a run, in order.
inline std::vector<int>& BarPositions() {
    static std::vector<int> positions;
    return positions;
}

inline WNDPROC& ProgressBarProc() {
    static WNDPROC proc;
    return proc;
}

inline LRESULT CALLBACK RecordingProgressProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    if (message == PBM_SETPOS) {
        BarPositions().push_back(static_cast<int>(wParam));
    }
    return CallWindowProcW(ProgressBarProc(), window, message, wParam, lParam);
}

// The window the worker reports to, made once per test program.
inline void MakeWindowOnce() {
    if (g_hMainWnd != nullptr) {
        return;
    }
    InitCommonControls();
    InitProgramState();
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"UpdateWorld";
    RegisterClassW(&windowClass);
    g_hMainWnd = CreateWindowExW(0, L"UpdateWorld", L"", WS_POPUP, 0, 0, 240, 268, nullptr, nullptr,
                                 windowClass.hInstance, nullptr);
    g_hProgress = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 13, 70, 214,
                                  20, g_hMainWnd, nullptr, windowClass.hInstance, nullptr);
    SendMessageW(g_hProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ProgressBarProc() = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        g_hProgress, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingProgressProc)));
    g_lineHeight = 13;
    g_boldLineHeight = 15;
}

// What a run left behind.
struct Outcome {
    std::wstring status;
    std::wstring time;
    int bar;                  // the progress bar where the worker left it
    int finishMessages;       // WM_UPGRADE_FINISHED posted to the main window
    int messagesAfterFinish;  // anything the worker posted after it
    long allocations;         // heap allocations during the run
    // The longest the run let pass without resetting the idle timer: between two resets,
    // or between its start or end and the nearest reset.
    uint32_t longestAwakeGapMs;
    // It held the machine awake (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) and let it go again.
    bool keptAwakeThenReleased;
};

class UpdateWorld {
public:
    explicit UpdateWorld(const ReceiverScenario& scenario = ReceiverScenario{},
                         uint32_t startTick = 0)
        : model_(std::make_unique<ReceiverModel>(
              scenario, LoaderFile().data(), static_cast<uint32_t>(LoaderFile().size()),
              RomFile().data(), static_cast<uint32_t>(RomFile().size()))),
          peer_(*model_) {
        MakeWindowOnce();
        fake::SetTickCount(startTick);
        fake::ListSleeve(L"COM5:");
        fake::AttachPeer(&peer_);
    }

    // Runs UpgradeThread to its end on this thread, from a bar at 0 as Start leaves it.
    Outcome Run() {
        ResetEvent(g_hCancelEvent);
        SendMessageW(g_hProgress, PBM_SETPOS, 0, 0);  // as Start does
        BarPositions().clear();
        BarPositions().reserve(4096);
        const long before = fake::AllocationCount();
        const uint32_t startTick = os::GetTickCount();
        UpgradeThread(nullptr);
        Outcome outcome;
        outcome.allocations = fake::AllocationCount() - before;
        const fake::Wakefulness& awake = fake::Awake();
        outcome.longestAwakeGapMs =
            awake.idleTimerResets == 0
                ? os::GetTickCount() - startTick
                : std::max<uint32_t>({awake.firstResetTick - startTick, awake.longestResetGapMs,
                                      os::GetTickCount() - awake.lastResetTick});
        const EXECUTION_STATE held = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;
        outcome.keptAwakeThenReleased =
            (awake.statesSet & held) == held && awake.executionState == ES_CONTINUOUS;
        outcome.status = g_statusText;
        outcome.time = g_timeText;
        outcome.finishMessages = 0;
        outcome.messagesAfterFinish = 0;
        MSG message;
        // Posted messages only: a visible window would be offered WM_PAINT for ever.
        while (PeekMessageW(&message, g_hMainWnd, 0, 0, PM_REMOVE | PM_QS_POSTMESSAGE)) {
            if (message.message == WM_UPGRADE_FINISHED && message.wParam == 0 &&
                message.lParam == 0) {
                ++outcome.finishMessages;
            } else if (outcome.finishMessages > 0) {
                ++outcome.messagesAfterFinish;
            }
        }
        outcome.bar = static_cast<int>(SendMessageW(g_hProgress, PBM_GETPOS, 0, 0));
        return outcome;
    }

    // For tests that list the receiver their own way: empties the registry and removes
    // the serial port (the clock goes back to 0), keeping the receiver at the far end of
    // the port that is made next.
    void ForgetRegistryAndPort() {
        fake::ResetWorld();
        fake::AttachPeer(&peer_);
    }

    const ReceiverSummary& Receiver() const { return model_->Summary(); }
    ReceiverModel& Model() { return *model_; }

private:
    fake::ScopedWorld fakeWorld_;  // first made, last destroyed
    std::unique_ptr<ReceiverModel> model_;
    fake::ReceiverPeer peer_;
};

}  // namespace world
