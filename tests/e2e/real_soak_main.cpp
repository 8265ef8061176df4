// ./soak --real: the real vandrel.exe against receiver-sim.exe on the pty pair, in real
// time, one scenario after another, each drawn from a seed: the receiver's faults, the
// line paced or not, and what the user does. Each run is checked three ways against the
// ending its scenario calls for, which the fault campaign's reasoning works out from the
// receiver's knobs alone: the status and time lines as drawn, the window and the exit
// code, and what the receiver saw.
//
// Moments of cancelling or closing are drawn within the time that the scenario's own waits
// (handshake delay, erase, link limits, the paced line) keep the run going for certain, so
// that every stopped run must read "Cancelled" (or end the program) and never its own end.
//
//   VANDREL_SOAK_RUNS=N VANDREL_SOAK_SEED=S   runs the scenarios of seeds S .. S+N-1
//   VANDREL_SEED=S                            runs that one scenario
// A failing run leaves out/real-soak/<seed>/: the scenario, the receiver's summary and
// pictures of the window.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "tests/e2e/receiver_traffic.h"
#include "tests/e2e/updater_world.h"
#include "tests/integration/fault_scenario.h"

namespace {

using campaign::Ending;

enum class User { NOTHING, CANCELS, CLOSES_WINDOW, PRESSES_START_TWICE, STARTS_AGAIN };
const char* const USER_NAMES[] = {"does nothing", "cancels", "closes the window",
                                  "presses Start twice", "starts again after the end"};

// Real time has coarser steps than the campaign's virtual time (Wine's scheduling, the pty,
// the clicks), so times compared with a limit are drawn further from it here.
constexpr uint32_t HANDSHAKE_SURELY_IN_TIME_MS = 3500;
constexpr uint32_t HANDSHAKE_SURELY_LATE_MS = 6500;
constexpr uint32_t LONGEST_ERASE_MS = 3000;
constexpr uint32_t MAX_RESENDS = 6;
constexpr uint32_t LINE_BYTES_PER_S = 11520;  // 115,200 bit/s, 10 bits a byte
// How late a stop may land after the moment drawn for it, for the click to be handled.
constexpr uint32_t ACT_MARGIN_MS = 500;
// A run that waits for the user is stopped within this long.
constexpr uint32_t WAITING_RUN_STOPPED_WITHIN_MS = 8000;
// Host bytes still arriving after a stop: the click handled, a write attempt ending.
constexpr uint32_t AFTER_STOP_MS = 2000;
// What a run may take beyond its scenario's own waits and its line time.
constexpr DWORD RUN_SLACK_MS = 30000;
constexpr DWORD RECEIVER_SLACK_MS = 3000;  // its silence limit beyond the host's longest pause
constexpr DWORD STEP_MS = 10000;           // for the window to answer a press
constexpr DWORD REPORT_MS = 30000;

// Where a failing run leaves its evidence, in a folder named by its seed; the pictures of
// the window are taken as the run goes (at the stop, at the end, at the failure).
const wchar_t EVIDENCE_FOLDER[] = L"out\\real-soak";
const wchar_t STOP_PICTURE[] = L"at-the-stop.bmp";
const wchar_t END_PICTURE[] = L"at-the-end.bmp";
const wchar_t FAILURE_PICTURE[] = L"at-the-failure.bmp";
const wchar_t* const PICTURES[] = {STOP_PICTURE, END_PICTURE, FAILURE_PICTURE};

struct RealScenario {
    uint64_t seed = 0;
    campaign::FaultScenario run;  // the sleeve on COM5: and a port that works; the receiver
    campaign::Expectation expected;
    User user = User::NOTHING;
    uint32_t actAtMs = 0;  // after Start, when the user cancels or closes
};

// What the receiver takes in from a run that nobody stops, and the waits that keep the run
// going for certain before it ends.
struct Traffic {
    long bytes = SPEED_SWITCH_BYTES + LOADER_STREAM_BYTES;
    std::string offsets;
    long receptionsThrough[campaign::CHUNKS] = {};  // chunk receptions up to chunk i's last
    bool endMarker = false;
    bool romWhole = false;
    uint32_t sureMs = 0;          // UINT32_MAX: it waits for the user
    uint32_t longestQuietMs = 0;  // the host's longest silence on the line
};

Traffic TrafficOf(const RealScenario& s) {
    const ReceiverScenario& r = s.run.receiver;
    const Ending ending = s.expected.ending;
    Traffic t;
    auto wait = [&t](uint32_t ms) {
        t.sureMs += ms;
        t.longestQuietMs = std::max(t.longestQuietMs, ms);
    };
    auto lineTime = [&t, &r] {
        if (r.paced) {
            t.sureMs += static_cast<uint32_t>(t.bytes * 1000 / LINE_BYTES_PER_S);
        }
    };
    if (ending == Ending::UPDATE_NOT_SUPPORTED) {
        wait(campaign::LINK_LIMIT_MS);
        lineTime();
        return t;
    }
    wait(r.handshakeDelayMs);
    t.bytes += GO_AHEAD_BYTES;
    if (ending == Ending::WAITS_FOR_CANCEL) {
        t.sureMs = t.longestQuietMs = UINT32_MAX;
        return t;
    }
    if (ending == Ending::ERASE_TIMEOUT) {
        wait(campaign::ERASE_LIMIT_MS);
        return t;
    }
    wait(r.eraseMs);
    long receptions = 0;
    for (uint32_t chunk = 0; chunk < campaign::CHUNKS; ++chunk) {
        const long frame = chunk < FULL_CHUNKS ? FULL_CHUNK_BYTES : LAST_CHUNK_BYTES;
        const uint32_t refused = std::max(r.nakTimes[chunk], r.flipTimes[chunk]);
        for (uint32_t reception = 0; reception <= refused; ++reception) {
            t.bytes += frame;
            t.offsets += (t.offsets.empty() ? "" : " ") + std::to_string(chunk * CHUNK_DATA_BYTES);
            ++receptions;
            if (chunk >= r.stopAfterChunks) {
                wait(campaign::LINK_LIMIT_MS);
                lineTime();
                t.receptionsThrough[chunk] = receptions;
                return t;
            }
        }
        t.receptionsThrough[chunk] = receptions;
    }
    t.bytes += END_MARKER_BYTES;
    t.endMarker = true;
    t.romWhole = true;
    if (ending == Ending::READ_TIMEOUT) {
        wait(campaign::LINK_LIMIT_MS);
    }
    lineTime();
    return t;
}

// The receiver's knobs, drawn as the campaign draws them but with real-time lengths: an
// erase of a few seconds, few resends, handshakes clear of the limit by a second and more;
// and a loader that chatters while it starts. Chatter does not move an ending: the limits
// are kept from the start of each wait, chatter or not.
void DrawReceiver(fake::SeededRandom& random, ReceiverScenario& r) {
    r.handshake = !random.Chance(1, 25);
    if (random.Chance(2, 5)) {
        r.handshakeDelayMs = random.Chance(4, 5) ? random.Between(1, HANDSHAKE_SURELY_IN_TIME_MS)
                                                 : random.Between(HANDSHAKE_SURELY_LATE_MS, 7500);
    }
    if (random.Chance(1, 5)) {
        r.handshakeNoiseEveryMs = random.Between(50, 1500);
    }
    campaign::draw::AnswerNoise(random, r);
    r.silentErase = random.Chance(1, 25);
    if (random.Chance(1, 5)) {
        r.eraseNoiseEveryMs = random.Between(200, 1500);
    }
    r.eraseMs = random.Chance(1, 2) ? random.Below(500) : random.Between(500, LONGEST_ERASE_MS);
    if (random.Chance(3, 10)) {
        uint32_t budget = MAX_RESENDS;
        for (uint32_t i = random.Between(1, 3); i > 0; --i) {
            const uint32_t chunk = random.Below(campaign::CHUNKS);
            const uint8_t times = static_cast<uint8_t>(random.Between(1, 2));
            uint8_t& knob = random.Chance(1, 2) ? r.nakTimes[chunk] : r.flipTimes[chunk];
            if (times <= budget) {
                knob = std::max(knob, times);
                budget -= times;
            }
        }
    }
    const uint32_t end = random.Below(100);
    r.endAnswer = end < 85 ? 'Y' : end < 95 ? 'N' : 'A' + static_cast<uint8_t>(random.Below(13));
    if (random.Chance(1, 16)) {
        r.stopAfterChunks = random.Below(campaign::CHUNKS + 1);
    }
    r.paced = random.Chance(1, 6);
}

RealScenario DrawRealScenario(uint64_t seed) {
    fake::SeededRandom random(seed);
    RealScenario s;
    s.seed = seed;
    s.run.portName = L"COM5:";
    fake::RegistryInstance sleeve{L"12", {}};
    for (const DriverValue& value : SLEEVE_DRIVER.values) {
        // As the registry stores a string: UTF-16 with its terminator.
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(value.data);
        sleeve.values.push_back(
            {value.name, std::vector<uint8_t>(bytes, bytes + (wcslen(value.data) + 1) * 2)});
    }
    s.run.registry.instances.push_back(sleeve);
    DrawReceiver(random, s.run.receiver);
    s.expected = campaign::Expect(s.run);

    const uint32_t kind = random.Below(100);
    s.user = kind < 40   ? User::NOTHING
             : kind < 60 ? User::CANCELS
             : kind < 75 ? User::CLOSES_WINDOW
             : kind < 85 ? User::PRESSES_START_TWICE
                         : User::STARTS_AGAIN;
    // Another run only meets a quiet line once the receiver has ended, after a whole update.
    if (s.user == User::STARTS_AGAIN && s.expected.ending != Ending::COMPLETED) {
        s.user = User::NOTHING;
    }
    // A receiver that erases in silence is waited for until the user stops the run.
    if (s.expected.ending == Ending::WAITS_FOR_CANCEL &&
        (s.user != User::CANCELS && s.user != User::CLOSES_WINDOW)) {
        s.user = random.Chance(1, 2) ? User::CANCELS : User::CLOSES_WINDOW;
    }
    const uint32_t sure = TrafficOf(s).sureMs;
    const uint32_t within = sure == UINT32_MAX     ? WAITING_RUN_STOPPED_WITHIN_MS
                            : sure > ACT_MARGIN_MS ? sure - ACT_MARGIN_MS
                                                   : 0;
    s.actAtMs = random.Below(within + 1);
    return s;
}

// The receiver-sim.exe options that play the scenario's receiver.
std::wstring ReceiverOptions(const ReceiverScenario& r) {
    std::wstring options;
    auto add = [&options](const std::wstring& option) {
        options += (options.empty() ? L"" : L" ") + option;
    };
    using std::to_wstring;
    if (!r.handshake) {
        add(L"--no-handshake");
    }
    if (r.handshakeDelayMs > 0) {
        add(L"--handshake-delay " + to_wstring(r.handshakeDelayMs));
    }
    if (r.handshakeNoiseEveryMs > 0) {
        add(L"--handshake-noise " + to_wstring(r.handshakeNoiseEveryMs));
    }
    if (r.noiseCount > 0) {
        add(L"--noise " + to_wstring(r.noiseCount) + L":" + to_wstring(r.noiseValue));
    }
    if (r.eraseMs > 0) {
        add(L"--erase-ms " + to_wstring(r.eraseMs));
    }
    if (r.silentErase) {
        add(L"--silent-erase");
    }
    if (r.eraseNoiseEveryMs > 0) {
        add(L"--erase-noise " + to_wstring(r.eraseNoiseEveryMs));
    }
    for (uint32_t chunk = 0; chunk < campaign::CHUNKS; ++chunk) {
        if (r.nakTimes[chunk] > 0) {
            add(L"--nak " + to_wstring(chunk) + L":" + to_wstring(r.nakTimes[chunk]));
        }
        if (r.flipTimes[chunk] > 0) {
            add(L"--flip " + to_wstring(chunk) + L":" + to_wstring(r.flipTimes[chunk]));
        }
    }
    if (r.endAnswer != 'Y') {
        add(L"--end-answer " + to_wstring(r.endAnswer));
    }
    if (r.stopAfterChunks != NEVER) {
        add(L"--stop-after " + to_wstring(r.stopAfterChunks));
    }
    if (r.paced) {
        add(L"--pace");
    }
    return options;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());  // the options and statuses are ASCII
}

std::string Describe(const RealScenario& s) {
    std::string text = "seed " + std::to_string(s.seed) + ": receiver-sim " +
                       Narrow(ReceiverOptions(s.run.receiver)) + "; the user " +
                       USER_NAMES[static_cast<int>(s.user)];
    if (s.user == User::CANCELS || s.user == User::CLOSES_WINDOW) {
        text += " at " + std::to_string(s.actAtMs) + " ms";
    }
    return text + "; its own ending: " + campaign::EndingName(s.expected.ending);
}

// The tally over all runs, printed at the end.
struct Tally {
    int runs = 0;
    int mismatches = 0;
    int hangs = 0;
    int paced = 0;
    std::map<std::string, int> endings;
    std::map<std::string, int> users;
};
Tally g_tally;

// Milliseconds of the performance counter, which receiver-sim.exe's line times also read.
uint64_t CounterUs() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<uint64_t>(count.QuadPart / (frequency.QuadPart / 1000000));
}

// Writes the screen under the window as a .bmp file.
void SavePicture(const UpdaterWindow& window, const std::wstring& path) {
    RECT place;
    if (!GetWindowRect(window.Window(), &place)) {
        return;
    }
    const int width = place.right - place.left, height = place.bottom - place.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, place.left, place.top, SRCCOPY);
    GdiFlush();
    const DWORD rowBytes = (DWORD(width) * 3 + 3) & ~3u;
    BITMAPFILEHEADER header = {0x4D42, 0, 0, 0,
                               sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    header.bfSize = header.bfOffBits + rowBytes * height;
    if (FILE* file = _wfopen(path.c_str(), L"wb")) {
        fwrite(&header, sizeof header, 1, file);
        fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, file);
        fwrite(bits, rowBytes, height, file);
        fclose(file);
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

class RealRun : public UpdaterWorld, public ::testing::WithParamInterface<uint64_t> {
protected:
    void SetUp() override {
        setUpUs_ = CounterUs();
        CreateDirectoryW(L"out", nullptr);
        CreateDirectoryW(EVIDENCE_FOLDER, nullptr);
        for (const wchar_t* picture : PICTURES) {
            DeleteFileW((std::wstring(EVIDENCE_FOLDER) + L"\\" + picture).c_str());
        }
        UpdaterWorld::SetUp();
    }

    // A picture of the window as it is now, kept until the next run: a failing run keeps it.
    void TakePicture(const wchar_t* picture) {
        SavePicture(window, std::wstring(EVIDENCE_FOLDER) + L"\\" + picture);
    }

    void TearDown() override {
        ++g_tally.runs;
        if (HasFailure()) {
            ++g_tally.mismatches;
            g_tally.hangs += hung_;
            SaveEvidence();
        }
        UpdaterWorld::TearDown();
        const RealScenario s = DrawRealScenario(GetParam());
        printf("run %d, seed %llu (%s, the user %s%s): %s in %.1f s\n", g_tally.runs,
               static_cast<unsigned long long>(GetParam()), campaign::EndingName(s.expected.ending),
               USER_NAMES[static_cast<int>(s.user)], s.run.receiver.paced ? ", paced" : "",
               HasFailure() ? "FAILED" : "as called for", (CounterUs() - setUpUs_) / 1e6);
        fflush(stdout);
    }

    // Waits for the run's end within its bound; a run that does not end has hung.
    void ExpectEnd(const std::wstring& status, DWORD boundMs) {
        const ::testing::AssertionResult ended = AwaitEnd(status, boundMs);
        TakePicture(END_PICTURE);
        hung_ = hung_ || (!ended && !window.IsIdle());
        EXPECT_TRUE(ended);
        EXPECT_EQ(window.ProgressPosition(), 0);
        EXPECT_TRUE(AwaitEmptyTimeLine());
    }

    void ExpectExit() {
        DWORD exitCode = 0;
        const bool ended = updater.Wait(EXIT_MS, &exitCode);
        hung_ = hung_ || !ended;
        EXPECT_TRUE(ended) << "the program did not end";
        EXPECT_EQ(exitCode, 0u);
    }

    // What the receiver saw of a run that ended by itself.
    void ExpectWholeTraffic(const Traffic& t) {
        ASSERT_TRUE(receiver.AwaitReport(REPORT_MS));
        EXPECT_EQ(receiver.Count("bytes received"), t.bytes);
        EXPECT_EQ(receiver.Count("bytes before the loader"), SPEED_SWITCH_BYTES);
        EXPECT_EQ(receiver.Count("bytes out of turn"), 0);
        EXPECT_EQ(receiver.Fact("loader"), "intact");
        EXPECT_EQ(receiver.Fact("chunk offsets"), t.offsets);
        EXPECT_EQ(receiver.Fact("end marker"), t.endMarker ? "seen" : "not seen");
        EXPECT_EQ(receiver.Fact("VERDICT"), t.romWhole ? "ROM identical" : "ROM differs");
    }

    // What the receiver saw of a run stopped when the bar read shown and the stop was
    // given at stoppedUs: nothing after the chunk on its way (and so nothing while the
    // run waited for an answer), no end marker unless the image was all in, the speed
    // switch once.
    void ExpectNothingAfterTheStop(const Traffic& t, bool paced, int shown, uint64_t stoppedUs) {
        ASSERT_TRUE(receiver.AwaitReport(REPORT_MS));
        const long accepted = ChunksAcceptedAt(shown);
        EXPECT_LE(receiver.Count("bytes before the loader"), SPEED_SWITCH_BYTES);
        EXPECT_EQ(receiver.Count("bytes out of turn"), 0);
        if (accepted < FULL_CHUNKS + 1) {
            EXPECT_EQ(receiver.Fact("end marker"), "not seen");
        }
        // Paced, a chunk takes 1.4 s on the line, and the bar read just before the stop
        // tells which one was on its way; unpaced, chunks cross too fast for that.
        if (paced && accepted < FULL_CHUNKS + 1) {
            EXPECT_LE(receiver.Count("chunks accepted"), accepted + 1);
            EXPECT_LE(receiver.Count("chunks received"), t.receptionsThrough[accepted]);
        }
        const uint64_t chunkLineUs = paced ? FULL_CHUNK_BYTES * 1000000ull / LINE_BYTES_PER_S : 0;
        const uint64_t lastByteUs =
            strtoull(receiver.Fact("last host byte at").c_str(), nullptr, 10);
        EXPECT_LE(lastByteUs, stoppedUs + chunkLineUs + AFTER_STOP_MS * 1000ull)
            << "host bytes arrived " << (lastByteUs - stoppedUs) / 1000 << " ms after the stop";
    }

    void SaveEvidence() {
        const std::wstring folder =
            std::wstring(EVIDENCE_FOLDER) + L"\\" + std::to_wstring(GetParam());
        CreateDirectoryW(folder.c_str(), nullptr);
        if (window.Exists()) {
            TakePicture(FAILURE_PICTURE);
        }
        for (const wchar_t* picture : PICTURES) {
            MoveFileExW((std::wstring(EVIDENCE_FOLDER) + L"\\" + picture).c_str(),
                        (folder + L"\\" + picture).c_str(), MOVEFILE_REPLACE_EXISTING);
        }
        CopyFileW(SimulatedReceiver::ReportPath(), (folder + L"\\receiver.txt").c_str(), FALSE);
        if (FILE* file = _wfopen((folder + L"\\scenario.txt").c_str(), L"w")) {
            fprintf(file, "%s\n", Describe(DrawRealScenario(GetParam())).c_str());
            fclose(file);
        }
        printf("real soak: run failed; again with VANDREL_SEED=%llu ./soak --real\n",
               static_cast<unsigned long long>(GetParam()));
    }

    bool hung_ = false;  // a run or the program did not end within its bound

private:
    uint64_t setUpUs_ = 0;
};

TEST_P(RealRun, EndsAsItsScenarioCalls) {
    const RealScenario s = DrawRealScenario(GetParam());
    const Traffic traffic = TrafficOf(s);
    const bool stops = s.user == User::CANCELS || s.user == User::CLOSES_WINDOW;
    SCOPED_TRACE(Describe(s));
    g_tally.users[USER_NAMES[static_cast<int>(s.user)]]++;
    g_tally.paced += s.run.receiver.paced;
    g_tally.endings[stops ? (s.user == User::CANCELS ? "cancelled" : "window closed")
                          : campaign::EndingName(s.expected.ending)]++;

    // A stop ends the host's wait for the receiver, too.
    const uint32_t hostQuietMs =
        stops ? std::min(traffic.longestQuietMs, s.actAtMs) : traffic.longestQuietMs;
    ASSERT_TRUE(Register({SLEEVE_DRIVER}));
    ASSERT_TRUE(Launch(ReceiverOptions(s.run.receiver), hostQuietMs + RECEIVER_SLACK_MS));
    const DWORD boundMs = (stops ? s.actAtMs : traffic.sureMs) + RUN_SLACK_MS +
                          (s.run.receiver.paced ? UPDATE_BYTES * 1000 / LINE_BYTES_PER_S : 0);
    const uint64_t startedUs = CounterUs();
    ASSERT_TRUE(s.user == User::PRESSES_START_TWICE ? window.PressStartTwice()
                                                    : window.PressStart());
    ASSERT_TRUE(WaitFor([&] { return !window.IsIdle(); }, STEP_MS)) << "Start started no run";

    if (stops) {
        const uint64_t actUs = startedUs + s.actAtMs * 1000ull;
        for (uint64_t now = CounterUs(); now < actUs; now = CounterUs()) {
            Sleep(static_cast<DWORD>((actUs - now + 999) / 1000));  // the drawn moment
        }
        // The scenario's own waits keep the run going past this moment.
        TakePicture(STOP_PICTURE);
        const int shown = window.ProgressPosition();
        ASSERT_TRUE(window.IsRunning()) << "the run was over before its receiver let it end";
        const uint64_t stoppedUs = CounterUs();
        if (s.user == User::CANCELS) {
            ASSERT_TRUE(window.PressClose());
            ExpectEnd(L"Cancelled", STEP_MS);
            EXPECT_TRUE(CloseAndAwaitExit());
        } else {
            window.AskToClose();
            ExpectExit();
        }
        ExpectNothingAfterTheStop(traffic, s.run.receiver.paced, shown, stoppedUs);
        return;
    }

    if (s.user == User::STARTS_AGAIN) {
        // Start is pressed the moment it is enabled again, so the end of one run and the
        // start of the next meet; the receiver has ended, and the new run's loader meets no
        // handshake. The first run shows its end through the receiver alone.
        const bool ended = WaitFor([&] { return window.StartEnabled(); }, boundMs);
        hung_ = !ended;
        ASSERT_TRUE(ended) << "the run did not end";
        ASSERT_TRUE(window.PressStart());
        EXPECT_TRUE(WaitFor([&] { return !window.IsIdle(); }, STEP_MS))
            << "Start did not start a run";
        ExpectEnd(L"GPS update not supported", campaign::LINK_LIMIT_MS + RUN_SLACK_MS);
    } else {
        ExpectEnd(campaign::StatusLine(s.expected.ending, L"COM5:"), boundMs);
    }
    if (s.user == User::PRESSES_START_TWICE) {
        EXPECT_FALSE(WaitFor([&] { return !window.IsIdle(); }, 1000)) << "a second run began";
    }
    EXPECT_TRUE(CloseAndAwaitExit());
    ExpectWholeTraffic(traffic);
}

uint64_t FromEnvironment(const char* name, uint64_t otherwise) {
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? strtoull(value, nullptr, 10) : otherwise;
}

// One scenario with VANDREL_SEED, else VANDREL_SOAK_RUNS from VANDREL_SOAK_SEED on.
::testing::internal::ParamGenerator<uint64_t> Seeds() {
    const uint64_t only = FromEnvironment("VANDREL_SEED", UINT64_MAX);
    const uint64_t first = only != UINT64_MAX ? only : FromEnvironment("VANDREL_SOAK_SEED", 1);
    const uint64_t runs = only != UINT64_MAX ? 1 : FromEnvironment("VANDREL_SOAK_RUNS", 1);
    return ::testing::Range(first, first + runs);
}

INSTANTIATE_TEST_SUITE_P(Soak, RealRun, Seeds(),
                         [](const ::testing::TestParamInfo<uint64_t>& info) {
                             return "seed_" + std::to_string(info.param);
                         });

class PrintTally : public ::testing::Environment {
    void TearDown() override {
        printf("\nreal soak: %d runs, %d mismatches, %d hangs, %d on a paced line\nendings:",
               g_tally.runs, g_tally.mismatches, g_tally.hangs, g_tally.paced);
        for (const auto& ending : g_tally.endings) {
            printf(" %s %d;", ending.first.c_str(), ending.second);
        }
        printf("\nthe user:");
        for (const auto& user : g_tally.users) {
            printf(" %s %d;", user.first.c_str(), user.second);
        }
        const std::vector<std::string>& refusals = ChildProcess::RefusalsOvercome();
        printf("\nstarts made on the second try: %zu\n", refusals.size());
        for (const std::string& refusal : refusals) {
            printf("  first try refused: %s\n", refusal.c_str());
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new PrintTally);
    return RUN_ALL_TESTS();
}
