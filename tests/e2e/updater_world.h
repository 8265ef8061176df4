// One end-to-end test's world: a line with nothing left on it from earlier tests, the
// registry as the test writes it, receiver-sim.exe on the line's far end and vandrel.exe
// with its window. Whatever a test started is ended, and the registry cleared, after it.
//
// Use it for what only the real program on a real line can show: start-up, the real
// port's timing, the window as its user meets it. It takes seconds per test; prefer
// world::UpdateWorld (integration/update_world.h) or harness::MainWindowTest
// (ui/window_harness.h) for anything they can reach.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/active_drivers.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/screen_lines.h"
#include "tests/e2e/simulated_receiver.h"
#include "tests/e2e/updater_window.h"

// How the sleeve's driver lists itself, serving the updater's end of the line.
extern const DriverInstance SLEEVE_DRIVER;

// The program a test runs: the desktop's vandrel.exe, or the handheld's own (x86) executable
// under the simulated handheld (sim/handheld-x86), which 32-bit Wine runs; or a copy of the
// desktop's vandrel.exe damaged as a copy made by cable, infrared or a card can be, one byte
// of its ROM image or of its loader changed.
enum class Program { DESKTOP, HANDHELD, DESKTOP_ROM_DAMAGED, DESKTOP_LOADER_DAMAGED };

// Why a test of the handheld's program is skipped where UpdaterWorld::Use refuses it.
constexpr const char* HANDHELD_NOT_BUILT = "the handheld's program and its stand-in were not built";

class UpdaterWorld : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Lists driver instances in the registry. The ports they name are the ones the status
    // line may name.
    ::testing::AssertionResult Register(const std::vector<DriverInstance>& drivers);

    // The program that StartUpdater and Launch start from now on (the desktop's at first).
    // False when that program, or what runs it, was not built.
    bool Use(Program program);

    // Starts a copy of the updater, as its user does.
    bool StartUpdater(ChildProcess& copy) const;

    // Starts the handheld's program on a handheld that lacks the call named, which must end
    // with exit code 0 after its box, without an owner, has read box and been answered, and
    // without making its window; then the receiver, as Launch does. Whatever the program had
    // sent waits on the line for the receiver.
    ::testing::AssertionResult LaunchLacking(const wchar_t* call, const std::wstring& box,
                                             const std::wstring& receiverOptions, DWORD silenceMs);

    // Starts the updater and waits for its window, then the receiver with a scenario's
    // options. The receiver ends silenceMs after the updater has last sent it anything, or
    // after it started if the updater sends nothing; bytes sent before the receiver has
    // opened its end wait on the line.
    ::testing::AssertionResult Launch(const std::wstring& receiverOptions, DWORD silenceMs);

    // Waits until the run has ended (the window idle again, with a line that ends a run on
    // it), then tells whether the status line reads status.
    ::testing::AssertionResult AwaitEnd(const std::wstring& status, DWORD timeoutMs);

    // The status and time lines as the screen shows them (UNREADABLE_LINE for a text that
    // the program never shows).
    std::wstring StatusLine() const;
    std::wstring TimeLine() const;

    // Waits a moment for the time line to be drawn empty, as it is once a run has ended: the
    // run clears it last, and the window may paint it only after it has shown the run's end.
    ::testing::AssertionResult AwaitEmptyTimeLine() const;

    // Presses Close on the idle window: the program must end, with exit code 0.
    ::testing::AssertionResult CloseAndAwaitExit();

    UpdaterWindow window;
    SimulatedReceiver receiver;
    ChildProcess updater;

private:
    // The program ends within EXIT_MS of the press named, with exit code 0.
    ::testing::AssertionResult AwaitExitWithZero(const char* pressed);

    // What a failure adds when the updater has ended: a window gone with its program says
    // nothing else of why (the handheld's stand-in ends a program it refuses with 120).
    std::string UpdaterEnded();

    Program program_ = Program::DESKTOP;
    std::unique_ptr<ScreenLines> lines_;
    std::vector<std::wstring> statusMessages_;
};

// The longest that the program may take to end once it is asked to.
constexpr DWORD EXIT_MS = 5000;
