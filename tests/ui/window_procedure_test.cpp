#include "ui/window_procedure.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/payload_images.h"
#include "engine/update_run.h"
#include "sim/receiver_model.h"
#include "tests/fakes/fake_os.h"
#include "tests/fakes/watchdog.h"
#include "tests/ui/window_harness.h"

namespace {

const char DESTRUCTION_STALLED[] = "The window's destruction stalled: both threads wait.";

// A receiver that never answers, in a world whose clock stands still while the run waits
// for it: the run waits until it is cancelled. Each read attempt takes a millisecond of
// real time, so the waiting costs next to no processor time.
class SilentReceiver : public fake::SerialPeer {
public:
    void OnHostBytes(const uint8_t*, uint32_t, uint32_t, uint32_t) override {}
    bool TakeByteForHost(uint32_t nowMs, uint32_t, uint8_t*) override {
        if (!listening.exchange(true)) {
            frozenAt = nowMs;
        }
        fake::SetTickCount(frozenAt);
        ::Sleep(1);
        return false;
    }
    std::atomic<bool> listening{false};

private:
    uint32_t frozenAt = 0;
};

// A good receiver, slowed to a pace at which a person's clicks land in the middle of the
// run: each batch of bytes from the updater takes a few milliseconds of real time.
class SlowReceiver : public fake::SerialPeer {
public:
    SlowReceiver()
        : model(new ReceiverModel(ReceiverScenario{}, LoaderImage, LOADER_IMAGE_SIZE, RomImage,
                                  ROM_IMAGE_SIZE)) {}
    void OnHostBytes(const uint8_t* bytes, uint32_t count, uint32_t baud, uint32_t now) override {
        model->HostBytes(bytes, count, baud, now);
        ::Sleep(3);
    }
    bool TakeByteForHost(uint32_t now, uint32_t baud, uint8_t* byte) override {
        return model->NextByte(now, baud, byte);
    }
    std::unique_ptr<ReceiverModel> model;
};

std::wstring TextOf(HWND window) {
    wchar_t text[256];
    GetWindowTextW(window, text, 256);
    return text;
}

int BarPosition() {
    return int(SendMessageW(g_hProgress, PBM_GETPOS, 0, 0));
}

// The highest position the bar has been sent since WatchBar. The run passes its last
// positions for a single turn each (100 lasts only until the end marker is answered, then
// the bar goes back to 0), too briefly to be caught by reading the bar between messages.
WNDPROC g_barProcedure;
int g_barHighest;

LRESULT CALLBACK NoteBarPosition(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == PBM_SETPOS) {
        g_barHighest = std::max(g_barHighest, int(wParam));
    }
    return CallWindowProcW(g_barProcedure, bar, message, wParam, lParam);
}

void WatchBar() {
    g_barHighest = 0;
    g_barProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(g_hProgress, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(NoteBarPosition)));
}

// A press of each button, as rows of a table. Close last: a window that it closes would be
// gone for any row after it.
struct ButtonPress {
    const char* name;
    HWND* button;
};
const ButtonPress START_THEN_CLOSE[] = {{"Start", &g_hStartButton}, {"Close", &g_hCloseButton}};

class RunControl : public harness::MainWindowTest {
protected:
    void SetUp() override {
        fake::ResetWorld();
        harness::MainWindowTest::SetUp();
    }
    void TearDown() override {
        fake::Watchdog watchdog(20000, DESTRUCTION_STALLED);
        harness::MainWindowTest::TearDown();
    }

    // A sleeve receiver on COM5: with this far end.
    void AttachReceiver(fake::SerialPeer* peer) {
        fake::ListSleeve(L"COM5:");
        fake::AttachPeer(peer);
    }

    // A press as the button reports it: WM_COMMAND from its handle, identifier 0.
    static void Press(HWND button) {
        SendMessageW(g_hMainWnd, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), LPARAM(button));
    }
    static void PressLater(HWND button) {
        PostMessageW(g_hMainWnd, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), LPARAM(button));
    }

    static bool Idle() {
        return TextOf(g_hCloseButton) == L"Close" && IsWindowEnabled(g_hStartButton);
    }
    // Idle, and the worker, which reports its end as its last act, has also ended: until
    // then a press still finds the run in progress.
    static bool RunOver() {
        return Idle() && WaitForSingleObject(g_hWorkerThread, 0) == WAIT_OBJECT_0;
    }
    static bool Running() {
        return TextOf(g_hCloseButton) == L"Cancel" && !IsWindowEnabled(g_hStartButton);
    }

    // The worker's thread as a handle of the test's own, to watch it after the window has
    // let go of its handle.
    static HANDLE WorkerThread() {
        HANDLE copy = nullptr;
        DuplicateHandle(GetCurrentProcess(), g_hWorkerThread, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        return copy;
    }

    static bool Ended(HANDLE thread) { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }
};

TEST_F(RunControl, StartTurnsCloseIntoCancelUntilTheRunReportsItsEnd) {
    SendMessageW(g_hProgress, PBM_SETPOS, 55, 0);  // left from an earlier run
    Press(g_hStartButton);
    EXPECT_TRUE(Running());
    EXPECT_EQ(BarPosition(), 0);
    // No receiver is registered: the run ends at once with its message.
    ASSERT_TRUE(harness::PumpUntil(RunOver));
    EXPECT_STREQ(g_statusText, L"GPS receiver not attached");

    // The finish report puts back the button, Start and the bar, whatever they show.
    SetWindowTextW(g_hCloseButton, L"Cancel");
    EnableWindow(g_hStartButton, FALSE);
    SendMessageW(g_hProgress, PBM_SETPOS, 73, 0);
    SendMessageW(g_hMainWnd, WM_UPGRADE_FINISHED, 0, 0);
    EXPECT_TRUE(Idle());
    EXPECT_EQ(BarPosition(), 0);
}

TEST_F(RunControl, CloseDuringARunCancelsItAndKeepsTheWindow) {
    SilentReceiver receiver;
    AttachReceiver(&receiver);
    Press(g_hStartButton);
    ASSERT_TRUE(harness::PumpUntil([&] { return receiver.listening.load(); }));

    Press(g_hCloseButton);
    EXPECT_TRUE(IsWindow(g_hMainWnd));
    EXPECT_TRUE(Running()) << "the button reads Cancel until the worker has finished";
    Press(g_hCloseButton);  // pressed again while cancelling: no change
    EXPECT_TRUE(IsWindow(g_hMainWnd));

    ASSERT_TRUE(harness::PumpUntil(RunOver));
    EXPECT_STREQ(g_statusText, L"Cancelled");
    EXPECT_STREQ(g_timeText, L"");
    EXPECT_EQ(BarPosition(), 0);
    EXPECT_TRUE(IsWindow(g_hMainWnd));
}

TEST_F(RunControl, TwoQuickPressesOfStartStartOneRun) {
    SilentReceiver receiver;
    AttachReceiver(&receiver);
    PressLater(g_hStartButton);
    PressLater(g_hStartButton);  // queued before the first press disabled the button
    ASSERT_TRUE(harness::PumpUntil([&] { return receiver.listening.load(); }));
    ASSERT_TRUE(harness::PumpUntil([] {  // the second press has been served too
        MSG message;
        return !PeekMessageW(&message, g_hMainWnd, WM_COMMAND, WM_COMMAND, PM_NOREMOVE);
    }));

    Press(g_hCloseButton);
    ASSERT_TRUE(harness::PumpUntil(RunOver));
    EXPECT_EQ(fake::Port().opens, 1);
}

// A run that fails at once (no receiver listed yet) has ended before a press queued behind
// the first Start is handled, while its report of its end still waits in the queue. The run
// is still going: a Start starts no second run, a Close cancels and leaves the window, and
// the report then shows the run's last status on the idle window.
TEST_F(RunControl, AStartOrCloseQueuedBehindARunThatFailsAtOnceFindsItsRunGoing) {
    for (const ButtonPress& c : START_THEN_CLOSE) {
        SCOPED_TRACE(c.name);
        fake::ResetWorld();
        PressLater(g_hStartButton);
        PressLater(*c.button);
        MSG press;
        ASSERT_TRUE(PeekMessageW(&press, g_hMainWnd, WM_COMMAND, WM_COMMAND, PM_REMOVE));
        DispatchMessageW(&press);
        const HANDLE first = WorkerThread();
        ASSERT_EQ(WaitForSingleObject(first, 10000), WAIT_OBJECT_0);
        CloseHandle(first);

        SilentReceiver receiver;  // a second run would find one, and wait on it
        AttachReceiver(&receiver);
        harness::PumpUntil([] { return !IsWindow(g_hMainWnd) || RunOver(); });
        ASSERT_TRUE(IsWindow(g_hMainWnd)) << "the run's last status was never seen";
        EXPECT_TRUE(Idle());
        EXPECT_STREQ(g_statusText, L"GPS receiver not attached");
        EXPECT_EQ(fake::Port().opens, 0) << "a second run began";
        if (!Idle()) {  // the second run: end it before its receiver goes
            Press(g_hCloseButton);
            ASSERT_TRUE(harness::PumpUntil(RunOver));
        }
    }
}

// The run's report has been handled, so Start is enabled and the button reads "Close",
// but the run's thread has not ended yet (held here, as on a loaded machine): a press in
// that moment is not lost. Start begins the next run; Close closes the window.
TEST_F(RunControl, APressAfterTheReportWhileTheThreadStillEndsIsNotLost) {
    for (const ButtonPress& c : START_THEN_CLOSE) {
        SCOPED_TRACE(c.name);
        fake::ResetWorld();
        fake::HoldThreadEnds(400);
        Press(g_hStartButton);  // no receiver listed: the run ends at once
        const HANDLE first = WorkerThread();
        ASSERT_TRUE(harness::PumpUntil(Idle));
        ASSERT_FALSE(Ended(first)) << "the moment was not held open";

        Press(*c.button);
        EXPECT_TRUE(Ended(first));
        CloseHandle(first);
        if (c.button == &g_hStartButton) {
            EXPECT_TRUE(Running()) << "the press started no run";
            ASSERT_TRUE(harness::PumpUntil(RunOver));
            EXPECT_STREQ(g_statusText, L"GPS receiver not attached");
        } else {
            EXPECT_FALSE(IsWindow(g_hMainWnd)) << "the press did not close the window";
        }
    }
}

TEST_F(RunControl, CloseWhenIdleEndsTheProgramWithZero) {
    Press(g_hStartButton);  // idle again after a run, too
    ASSERT_TRUE(harness::PumpUntil(RunOver));

    Press(g_hCloseButton);
    EXPECT_FALSE(IsWindow(g_hMainWnd));
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);
}

TEST_F(RunControl, TheThreadOfAnEndedRunIsReleasedByTheNextStartAndAtTheEnd) {
    Press(g_hStartButton);
    ASSERT_TRUE(harness::PumpUntil(RunOver));
    const HANDLE first = g_hWorkerThread;
    const DWORD firstId = GetThreadId(first);
    ASSERT_NE(firstId, 0u);

    Press(g_hStartButton);
    ASSERT_TRUE(harness::PumpUntil(RunOver));
    // The old handle no longer refers to the first thread (it may name the second one now).
    EXPECT_NE(GetThreadId(first), firstId);

    const HANDLE second = g_hWorkerThread;
    const DWORD secondId = GetThreadId(second);
    ASSERT_NE(secondId, 0u);
    DestroyWindow(g_hMainWnd);
    EXPECT_NE(GetThreadId(second), secondId);
}

// Closing the window from outside (WM_CLOSE) while a run goes on, at many moments of the
// run: the run is stopped, the worker has ended when the window is gone, and that takes
// no longer than a cancelled run needs to wind down. The worker's last sends to the
// progress bar meet the window's wait for the worker.
TEST_F(RunControl, ClosingFromOutsideDuringARunEndsPromptlyAtAnyMoment) {
    EndWindow();  // each moment gets a window of its own

    struct Moment {
        bool silent;    // else a good receiver
        int atPercent;  // close once the bar reaches this; -1: as soon as the run starts
        DWORD afterMs;  // then wait this long first
    };
    const Moment moments[] = {
        {true, -1, 0},  {true, -1, 1},  {true, -1, 3},  {true, -1, 10}, {true, -1, 30},
        {false, -1, 0}, {false, -1, 2}, {false, -1, 7}, {false, 1, 0},  {false, 10, 0},
        {false, 35, 1}, {false, 60, 0}, {false, 90, 2}, {false, 99, 0},
    };
    for (const Moment& m : moments) {
        SCOPED_TRACE(testing::Message() << (m.silent ? "silent" : "good") << " receiver, at "
                                        << m.atPercent << "% + " << m.afterMs << " ms");
        fake::ResetWorld();
        SilentReceiver silent;
        SlowReceiver good;
        AttachReceiver(m.silent ? static_cast<fake::SerialPeer*>(&silent) : &good);
        ASSERT_TRUE(CreateMainWindow(GetModuleHandleW(nullptr), SW_SHOWNORMAL));

        WatchBar();
        Press(g_hStartButton);
        const HANDLE worker = WorkerThread();
        if (m.atPercent >= 0) {
            ASSERT_TRUE(harness::PumpUntil([&] { return g_barHighest >= m.atPercent; }));
        }
        harness::PumpUntil([] { return false; }, m.afterMs);

        const DWORD start = GetTickCount();
        {
            fake::Watchdog watchdog(20000, DESTRUCTION_STALLED);
            SendMessageW(g_hMainWnd, WM_CLOSE, 0, 0);
        }
        const DWORD took = GetTickCount() - start;
        EXPECT_FALSE(IsWindow(g_hMainWnd));
        EXPECT_TRUE(Ended(worker));
        EXPECT_LT(took, 2000u);
        const std::wstring status = g_statusText;
        EXPECT_TRUE(status == L"Cancelled" || status == L"Completed successfully")
            << status.c_str();
        CloseHandle(worker);

        MSG message;
        EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
        EndWindow();
    }
}

// The boxes, answered as soon as they are shown (OK, unless a test chooses otherwise): what
// each said, and how it was made (its owner, icon and buttons).
struct Box {
    std::wstring caption, text;
    bool owned;
    HICON icon;
    std::vector<int> buttons;  // identifiers of those shown
};
std::vector<Box> g_boxes;
HHOOK g_boxHook;
int g_answer = IDOK;             // the button pressed, or:
constexpr int PRESS_ENTER = -1;  // the key that presses the default button

std::wstring ClassOf(HWND window) {
    wchar_t className[32] = L"";
    GetClassNameW(window, className, 32);
    return className;
}

LRESULT CALLBACK AnswerTheBox(int code, WPARAM wParam, LPARAM lParam) {
    HWND window = reinterpret_cast<HWND>(wParam);
    if (code == HCBT_ACTIVATE && ClassOf(window) == L"#32770") {
        Box box = {TextOf(window),
                   TextOf(GetDlgItem(window, 0xFFFF)),
                   GetWindow(window, GW_OWNER) != nullptr,
                   nullptr,
                   {}};
        for (HWND item = GetWindow(window, GW_CHILD); item != nullptr;
             item = GetWindow(item, GW_HWNDNEXT)) {
            const LONG style = GetWindowLongW(item, GWL_STYLE);
            if (ClassOf(item) == L"Static" && (style & SS_TYPEMASK) == SS_ICON) {
                box.icon = reinterpret_cast<HICON>(SendMessageW(item, STM_GETICON, 0, 0));
            } else if (ClassOf(item) == L"Button" && (style & WS_VISIBLE) != 0) {
                box.buttons.push_back(GetDlgCtrlID(item));
            }
        }
        g_boxes.push_back(box);
        if (g_answer == PRESS_ENTER) {
            PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
        } else {
            PostMessageW(window, WM_COMMAND, g_answer, 0);
        }
    }
    return CallNextHookEx(g_boxHook, code, wParam, lParam);
}

// Both boxes: no owner, caption "Software upgrade", MB_OK + MB_ICONERROR.
void ExpectErrorBox(const Box& box, const wchar_t* text) {
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, L"Software upgrade");
    EXPECT_FALSE(box.owned);
    EXPECT_EQ(box.icon, LoadIconW(nullptr, IDI_ERROR));
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
}

class WithErrorBoxes : public RunControl {
protected:
    void SetUp() override {
        g_boxes.clear();
        g_answer = IDOK;
        g_boxHook = SetWindowsHookExW(WH_CBT, AnswerTheBox, nullptr, GetCurrentThreadId());
        RunControl::SetUp();
    }
    void TearDown() override {
        RunControl::TearDown();
        UnhookWindowsHookEx(g_boxHook);
    }
};

// The run's thread cannot be made: the box says so, Start stays disabled for good, and
// the button that reads "Cancel" closes the window, since no run is in progress.
TEST_F(WithErrorBoxes, AThreadThatCannotBeMadeLeavesStartDisabledAndCancelCloses) {
    fake::FailThreadCreation();
    SendMessageW(g_hProgress, PBM_SETPOS, 55, 0);
    Press(g_hStartButton);
    ASSERT_EQ(g_boxes.size(), 1u);
    ExpectErrorBox(g_boxes[0], L"Processing thread creation failed");
    EXPECT_EQ(g_hWorkerThread, nullptr);
    EXPECT_TRUE(Running());
    EXPECT_EQ(BarPosition(), 0);

    Press(g_hCloseButton);
    EXPECT_FALSE(IsWindow(g_hMainWnd));
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);
}

// The cancel event cannot be made (another kind of object holds its name): the box says so
// and the window is made all the same. It starts no run, which could never be cancelled
// (its end would hold the window's end for as long as the receiver stayed silent): each
// press of Start shows the box again. Close still closes the window.
class WithoutCancelEvent : public WithErrorBoxes {
protected:
    void SetUp() override {
        squatter = CreateMutexW(nullptr, FALSE, L"Vandrel Event");
        ASSERT_NE(squatter, nullptr);
        WithErrorBoxes::SetUp();
    }
    void TearDown() override {
        WithErrorBoxes::TearDown();
        CloseHandle(squatter);
    }
    HANDLE squatter = nullptr;
};

TEST_F(WithoutCancelEvent, TheBoxSaysSoAndTheWindowIsMadeAllTheSameButStartsNoRun) {
    ASSERT_EQ(g_boxes.size(), 1u);
    ExpectErrorBox(g_boxes[0], L"Event creation failed");
    EXPECT_EQ(g_hCancelEvent, nullptr);
    EXPECT_TRUE(IsWindowVisible(g_hMainWnd));

    Press(g_hStartButton);
    ASSERT_EQ(g_boxes.size(), 2u);
    ExpectErrorBox(g_boxes[1], L"Event creation failed");
    EXPECT_EQ(g_hWorkerThread, nullptr);
    EXPECT_TRUE(Idle());
    EXPECT_STREQ(g_statusText, L"");

    Press(g_hCloseButton);
    EXPECT_FALSE(IsWindow(g_hMainWnd));
}

// Start on each power supply: a box only on battery with a known charge below 20 % or a
// critical flag, the figure as read. No leaves the window idle, with no run made and
// nothing sent; Yes, or no box, starts the run as ever (here the listed receiver never
// answers the loader).
TEST_F(WithErrorBoxes, StartOnALowBatteryAsksFirst) {
    const auto low = [](const wchar_t* figure) {
        return L"The battery is low" + std::wstring(figure) +
               L". Connect the handheld to mains power before updating: a handheld that "
               L"switches off during the update leaves the receiver without a complete ROM. "
               L"Update anyway?";
    };
    const std::wstring lowAt12 = low(L" (12%)"), lowAt19 = low(L" (19%)"),
                       lowWithoutFigure = low(L"");
    struct Supply {
        const char* name;
        BYTE acLine, flag, percent;
        bool readFails;
        const std::wstring* asked;  // the box's text, null for none
        int answer;                 // to the box
    };
    const Supply supplies[] = {
        {"battery at 12 %, Enter: No is the default", AC_LINE_OFFLINE, BATTERY_FLAG_LOW, 12, false,
         &lowAt12, PRESS_ENTER},
        {"battery at 19 %, Yes", AC_LINE_OFFLINE, BATTERY_FLAG_LOW, 19, false, &lowAt19, IDYES},
        {"battery at 20 %", AC_LINE_OFFLINE, BATTERY_FLAG_LOW, 20, false, nullptr, 0},
        {"battery, charge unknown", AC_LINE_OFFLINE, BATTERY_FLAG_LOW, 255, false, nullptr, 0},
        {"mains at 5 %", AC_LINE_ONLINE, BATTERY_FLAG_CHARGING, 5, false, nullptr, 0},
        {"line unknown at 5 %", AC_LINE_UNKNOWN, BATTERY_FLAG_LOW, 5, false, nullptr, 0},
        {"critical flag without a figure, No", AC_LINE_OFFLINE, BATTERY_FLAG_CRITICAL, 255, false,
         &lowWithoutFigure, IDNO},
        {"critical flag without a figure, Yes", AC_LINE_OFFLINE, BATTERY_FLAG_CRITICAL, 255, false,
         &lowWithoutFigure, IDYES},
        {"flag unknown (every bit set) at 12 %, No", AC_LINE_OFFLINE, BATTERY_FLAG_UNKNOWN, 12,
         false, &lowAt12, IDNO},
        {"no battery, line offline", AC_LINE_OFFLINE, BATTERY_FLAG_NO_BATTERY, 0, false, nullptr,
         0},
        {"status unreadable", AC_LINE_OFFLINE, BATTERY_FLAG_CRITICAL, 5, true, nullptr, 0},
    };
    for (const Supply& supply : supplies) {
        SCOPED_TRACE(supply.name);
        g_boxes.clear();
        fake::ResetWorld();
        fake::ListSleeve(L"COM5:");
        fake::Power().status.ACLineStatus = supply.acLine;
        fake::Power().status.BatteryFlag = supply.flag;
        fake::Power().status.BatteryLifePercent = supply.percent;
        fake::Power().readFails = supply.readFails;
        // A box that should not come is answered No: the row fails instead of waiting on it.
        g_answer = supply.asked != nullptr ? supply.answer : IDNO;

        Press(g_hStartButton);
        EXPECT_EQ(fake::Power().reads, 1);
        if (supply.asked != nullptr) {
            ASSERT_EQ(g_boxes.size(), 1u);
            EXPECT_EQ(g_boxes[0].text, *supply.asked);
            EXPECT_EQ(g_boxes[0].caption, L"Software upgrade");
            EXPECT_TRUE(g_boxes[0].owned) << "the window must not take presses meanwhile";
            EXPECT_EQ(g_boxes[0].icon, LoadIconW(nullptr, IDI_WARNING));
            EXPECT_EQ(g_boxes[0].buttons, (std::vector<int>{IDYES, IDNO}));
        } else {
            EXPECT_TRUE(g_boxes.empty());
        }
        if (supply.asked != nullptr && supply.answer != IDYES) {
            EXPECT_TRUE(Idle());
            EXPECT_EQ(fake::Port().opens, 0) << "a run was made";
            EXPECT_TRUE(fake::SentBytes().empty());
        } else {
            ASSERT_TRUE(harness::PumpUntil(RunOver));
            EXPECT_EQ(fake::Port().opens, 1);
            EXPECT_STREQ(g_statusText, L"GPS update not supported");
        }
    }
}

}  // namespace
