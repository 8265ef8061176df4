// The buttons while a run goes on, and the window closed under a run: a cancelled run stops
// with nothing on the line after the chunk that was on its way, the window says so and is
// ready again; a closed window ends the program; a second press of Start starts nothing; a
// second copy of the program leaves the first one's run alone.
// The receiver here moves bytes no faster than the real line (a chunk takes about 1.4 s),
// so that there is time to act while the ROM is being written.
#include <gtest/gtest.h>

#include "tests/e2e/receiver_traffic.h"
#include "tests/e2e/updater_world.h"

namespace {

constexpr DWORD SILENCE_MS = 2000;  // the receiver's end once the updater has gone quiet
constexpr DWORD STEP_MS = 10000;    // for the window to answer a press
constexpr DWORD RUN_MS = 120000;
constexpr DWORD REPORT_MS = 30000;

const wchar_t PACED_RECEIVER[] = L"--pace";

using RunControl = UpdaterWorld;

// Waits for the bar to reach percent during the run and gives the position it read. It
// moves once per accepted chunk, so right after it has moved the next chunk is on its way.
int AwaitProgress(const UpdaterWindow& window, int percent) {
    int position = -1;
    WaitFor(
        [&] {
            position = window.ProgressPosition();
            return position >= percent;
        },
        RUN_MS);
    return position;
}

// What the receiver got of a run stopped once the bar showed shown: nothing beyond the
// chunk that was on its way, and no end marker.
void ExpectNothingBeyondTheChunkInFlight(SimulatedReceiver& receiver, int shown) {
    ASSERT_TRUE(receiver.AwaitReport(REPORT_MS));
    const long accepted = ChunksAcceptedAt(shown);
    EXPECT_LE(receiver.Count("chunks accepted"), accepted + 1);
    EXPECT_LE(receiver.Count("bytes received"),
              BEFORE_CHUNKS_BYTES + (accepted + 1) * FULL_CHUNK_BYTES);
    EXPECT_EQ(receiver.Fact("end marker"), "not seen");
}

TEST_F(RunControl, CancelStopsTheRunAfterTheChunkOnItsWay) {
    ASSERT_TRUE(Register({SLEEVE_DRIVER}));
    ASSERT_TRUE(Launch(PACED_RECEIVER, SILENCE_MS));
    ASSERT_TRUE(window.PressStart());
    ASSERT_TRUE(WaitFor([&] { return window.IsRunning(); }, STEP_MS));

    const int shown = AwaitProgress(window, 11);  // two chunks accepted
    ASSERT_GE(shown, 11);
    EXPECT_EQ(StatusLine(), L"Programming...");
    const std::wstring estimate = TimeLine();
    EXPECT_TRUE(estimate != L"" && estimate != UNREADABLE_LINE) << "time line: " << estimate;
    EXPECT_EQ(window.CloseCaption(), L"Cancel");
    ASSERT_TRUE(window.PressClose());

    ASSERT_TRUE(AwaitEnd(L"Cancelled", STEP_MS));
    EXPECT_EQ(window.ProgressPosition(), 0);
    EXPECT_TRUE(AwaitEmptyTimeLine());

    ExpectNothingBeyondTheChunkInFlight(receiver, shown);
    EXPECT_EQ(receiver.Fact("VERDICT"), "ROM differs");

    // The window is as before the run: Close now closes it.
    EXPECT_TRUE(CloseAndAwaitExit());
}

TEST_F(RunControl, ClosingTheWindowDuringARunEndsTheProgram) {
    ASSERT_TRUE(Register({SLEEVE_DRIVER}));
    ASSERT_TRUE(Launch(PACED_RECEIVER, SILENCE_MS));
    ASSERT_TRUE(window.PressStart());

    const int shown = AwaitProgress(window, 5);  // one chunk accepted
    ASSERT_GE(shown, 5);
    window.AskToClose();
    DWORD exitCode;
    ASSERT_TRUE(updater.Wait(EXIT_MS, &exitCode)) << "the program did not end";
    EXPECT_EQ(exitCode, 0u);

    ExpectNothingBeyondTheChunkInFlight(receiver, shown);
}

TEST_F(RunControl, TwoQuickPressesOfStartMakeOneRun) {
    ASSERT_TRUE(Register({SLEEVE_DRIVER}));
    // An erase of a second and a half keeps the run going while the second press is handled.
    ASSERT_TRUE(Launch(L"--erase-ms 1500", SILENCE_MS));
    ASSERT_TRUE(window.PressStartTwice());

    ASSERT_TRUE(AwaitEnd(L"Completed successfully", RUN_MS));
    EXPECT_FALSE(WaitFor([&] { return !window.IsIdle(); }, 1000)) << "a second run began";
    EXPECT_TRUE(CloseAndAwaitExit());

    ASSERT_TRUE(receiver.AwaitReport(REPORT_MS));
    EXPECT_EQ(receiver.Fact("loader"), "intact");
    EXPECT_EQ(receiver.Fact("chunk offsets"), ChunkOffsets());
    EXPECT_EQ(receiver.Count("bytes received"), UPDATE_BYTES);
    EXPECT_EQ(receiver.Fact("VERDICT"), "ROM identical");
}

// Another window in front, as when the user has gone to another program.
HWND PutAnotherWindowInFront() {
    HWND other = CreateWindowExW(0, L"STATIC", L"another program", WS_POPUP | WS_VISIBLE, 0, 0, 50,
                                 50, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetForegroundWindow(other);
    EXPECT_EQ(GetForegroundWindow(), other);
    return other;
}

class SecondCopy : public UpdaterWorld, public ::testing::WithParamInterface<Program> {
protected:
    // Starts a second copy of the program, which must end by itself with 0.
    void StartSecondCopyAndAwaitItsEnd() {
        ChildProcess second;
        ASSERT_TRUE(StartUpdater(second));
        DWORD exitCode = 1;
        const bool ended = second.Wait(STEP_MS, &exitCode);
        if (!ended) {
            UpdaterWindow secondWindow;  // its end signals the shared event
            if (secondWindow.Find(STEP_MS, second.Id())) {
                secondWindow.AskToClose();
            }
        }
        EXPECT_TRUE(ended) << "the second copy did not end";
        EXPECT_EQ(exitCode, 0u);
    }

    // The foreground passes between processes through Wine's server, not at once with the
    // call that passes it: true once front is in front, within a step's time.
    static bool ComesToTheFront(HWND front) {
        return WaitFor([&] { return GetForegroundWindow() == front; }, STEP_MS);
    }
};

// A second start of the program while the first copy programs: it brings the first copy's
// window to the front and ends with 0, and the first copy's run goes on to its end. A second
// copy that made its window would share the cancel event: closing it would stop the run.
TEST_P(SecondCopy, BringsTheFirstToTheFrontAndLeavesItsRunAlone) {
    if (!Use(GetParam())) {
        GTEST_SKIP() << HANDHELD_NOT_BUILT;
    }
    ASSERT_TRUE(Register({SLEEVE_DRIVER}));
    ASSERT_TRUE(Launch(PACED_RECEIVER, SILENCE_MS));
    ASSERT_TRUE(window.PressStart());
    ASSERT_GE(AwaitProgress(window, 5), 5);  // programming

    HWND other = PutAnotherWindowInFront();
    StartSecondCopyAndAwaitItsEnd();
    EXPECT_TRUE(ComesToTheFront(window.Window())) << "the first copy's window is not in front";
    DestroyWindow(other);

    ASSERT_TRUE(AwaitEnd(L"Completed successfully", RUN_MS));
    EXPECT_TRUE(CloseAndAwaitExit());
    ASSERT_TRUE(receiver.AwaitReport(REPORT_MS));
    EXPECT_EQ(receiver.Fact("VERDICT"), "ROM identical");
}

// While the first copy asks whether to run on a low battery, its window is disabled behind
// the box: a second start brings the box up, which is what waits on the user.
TEST_P(SecondCopy, BringsUpTheBoxTheFirstShows) {
    if (!Use(GetParam())) {
        GTEST_SKIP() << HANDHELD_NOT_BUILT;
    }
    ASSERT_TRUE(Register({SLEEVE_DRIVER}));
    SetEnvironmentVariableW(L"VANDREL_POWER_STATUS", L"0,0,12");  // on battery at 12 %
    const ::testing::AssertionResult launched = Launch(L"", SILENCE_MS);
    SetEnvironmentVariableW(L"VANDREL_POWER_STATUS", nullptr);
    ASSERT_TRUE(launched);
    ASSERT_TRUE(window.PressStart());
    const HWND box = window.AwaitBox(STEP_MS);
    ASSERT_NE(box, nullptr) << "no box asked about the battery";

    HWND other = PutAnotherWindowInFront();
    StartSecondCopyAndAwaitItsEnd();
    EXPECT_TRUE(ComesToTheFront(box)) << "the box is not in front";
    DestroyWindow(other);

    ASSERT_TRUE(UpdaterWindow::PressBoxButton(box, IDNO));
    // Its buttons read idle behind the box too: Close takes a click once the box has gone
    // and the window is enabled again.
    ASSERT_TRUE(WaitFor(
        [&] { return !IsWindow(box) && IsWindowEnabled(window.Window()) && window.IsIdle(); },
        STEP_MS));
    EXPECT_TRUE(CloseAndAwaitExit());
}

INSTANTIATE_TEST_SUITE_P(Updater, SecondCopy,
                         ::testing::Values(Program::DESKTOP, Program::HANDHELD),
                         [](const ::testing::TestParamInfo<Program>& info) {
                             return info.param == Program::DESKTOP ? "Desktop" : "Handheld";
                         });

}  // namespace
