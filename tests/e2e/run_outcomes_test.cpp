// One press of Start, and how the run ends: for each receiver and registry, what the user
// reads on the window afterwards and what the receiver saw on its line. And the program
// that never gets that far, on a handheld that lacks a call it needs.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/receiver_traffic.h"
#include "tests/e2e/updater_world.h"

namespace {

constexpr DWORD SILENCE_MS = 3000;  // the receiver's end once the updater has gone quiet
constexpr DWORD RUN_MS = 120000;
constexpr DWORD REPORT_MS = 30000;

// A serial port of the handheld's own, listed before the sleeve: not the receiver.
const DriverInstance BUILT_IN_SERIAL = {
    L"03", {{L"Key", L"Drivers\\BuiltIn\\Serial"}, {L"Name", L"COM1:"}}};

using Facts = std::vector<std::pair<std::string, std::string>>;

struct RunOutcome {
    const char* name;
    std::vector<DriverInstance> drivers;
    const wchar_t* receiverOptions;
    // On the status line once the run has ended; where the handheld lacks a call, what the
    // box reads that the program shows instead of its window.
    const wchar_t* status;
    Facts receiverSaw;
    Program program = Program::DESKTOP;
    bool cancelWhileProgramming = false;  // Cancel pressed once the bar has moved
    const wchar_t* withheld = nullptr;    // a call the handheld lacks, its import slot left 0
};

const RunOutcome OUTCOMES[] = {
    {"SleeveReceiverGetsTheWholeRom",
     {BUILT_IN_SERIAL, SLEEVE_DRIVER},
     L"",
     L"Completed successfully",
     {{"VERDICT", "ROM identical"},
      {"loader", "intact"},
      {"chunk offsets", ChunkOffsets()},
      {"resends", "0"},
      {"end marker", "seen"},
      {"bytes received", std::to_string(UPDATE_BYTES)}}},
    {"ChunkRefusedAmidNoiseIsSentAgain",
     {SLEEVE_DRIVER},
     // Chunk 2 answered 'N' once; four 'E' bytes before every answer, the handshake's too.
     L"--nak 2 --noise 4:0x45",
     L"Completed successfully",
     {{"VERDICT", "ROM identical"},
      {"chunk offsets", ChunkOffsets(2)},
      {"resends", "1"},
      {"end marker", "seen"},
      {"bytes received", std::to_string(UPDATE_BYTES + FULL_CHUNK_BYTES)}}},
    {"NoReceiverListed",
     {BUILT_IN_SERIAL},
     L"",
     L"GPS receiver not attached",
     {{"bytes received", "0"}}},
    {"CompactFlashReceiverIsLeftAlone",
     {{L"07", {{L"PnpId", L"TAVRIN-KIVO_GPS_5120-CF1"}, {L"Name", L"COM5:"}}}},
     L"",
     L"Vandrel cannot be used with CompactFlash GPS receivers",
     {{"bytes received", "0"}}},
    {"ListedPortDoesNotExist",
     {{L"12", {{L"Key", L"Drivers\\OptPack\\0100"}, {L"Name", L"COM9:"}}}},
     L"",
     L"Couldn't open GPS receiver port (COM9:)",
     {{"bytes received", "0"}}},
    {"ReceiverGivesNoHandshake",
     {SLEEVE_DRIVER},
     L"--no-handshake",
     L"GPS update not supported",
     {{"loader", "intact"},
      {"chunks received", "0"},
      {"end marker", "not seen"},
      {"bytes received", std::to_string(SPEED_SWITCH_BYTES + LOADER_STREAM_BYTES)}}},
    // The handheld's own executable, as it would be copied to the handheld.
    {"HandheldProgramGetsTheWholeRomToo",
     {SLEEVE_DRIVER},
     L"",
     L"Completed successfully",
     {{"VERDICT", "ROM identical"}, {"chunk offsets", ChunkOffsets()}, {"end marker", "seen"}},
     Program::HANDHELD},
    // At the line's real speed, so that there is time to press Cancel while chunks go out.
    {"HandheldProgramCancelledWhileProgramming",
     {SLEEVE_DRIVER},
     L"--pace",
     L"Cancelled",
     {{"VERDICT", "ROM differs"}, {"end marker", "not seen"}},
     Program::HANDHELD,
     true},
    {"HandheldProgramFindsNoReceiver",
     {BUILT_IN_SERIAL},
     L"",
     L"GPS receiver not attached",
     {{"bytes received", "0"}},
     Program::HANDHELD},
    // A copy damaged on its way to the handheld: the run checks its payloads before it looks
    // for the port, whichever one of them is damaged.
    {"DamagedRomIsNeverSent",
     {SLEEVE_DRIVER},
     L"",
     L"Error (damaged file): please copy it again",
     {{"bytes received", "0"}},
     Program::DESKTOP_ROM_DAMAGED},
    {"DamagedLoaderIsNeverSent",
     {SLEEVE_DRIVER},
     L"",
     L"Error (damaged file): please copy it again",
     {{"bytes received", "0"}},
     Program::DESKTOP_LOADER_DAMAGED},
    // A handheld whose system lacks a call the program imports: its loader leaves the slot 0
    // and starts the program, which must not fault in the middle of a run.
    {"HandheldLackingPurgeCommSaysSoAtStart",
     {SLEEVE_DRIVER},
     L"",
     L"This handheld lacks PurgeComm, which the update needs",
     {{"bytes received", "0"}},
     Program::HANDHELD,
     false,
     L"PurgeComm"},
};

// Names the case in gtest's messages.
void PrintTo(const RunOutcome& outcome, std::ostream* out) {
    *out << outcome.name;
}

class RunEnds : public UpdaterWorld, public ::testing::WithParamInterface<RunOutcome> {};

TEST_P(RunEnds, ShowingItsOutcomeWithTheWindowIdleAgain) {
    const RunOutcome& outcome = GetParam();
    if (!Use(outcome.program)) {
        GTEST_SKIP() << HANDHELD_NOT_BUILT;
    }
    ASSERT_TRUE(Register(outcome.drivers));
    if (outcome.withheld != nullptr) {
        ASSERT_TRUE(
            LaunchLacking(outcome.withheld, outcome.status, outcome.receiverOptions, SILENCE_MS));
    } else {
        ASSERT_TRUE(Launch(outcome.receiverOptions, SILENCE_MS));
        ASSERT_TRUE(window.PressStart());
        if (outcome.cancelWhileProgramming) {
            ASSERT_TRUE(WaitFor([&] { return window.ProgressPosition() > 0; }, RUN_MS));
            ASSERT_TRUE(window.PressClose());
        }

        ASSERT_TRUE(AwaitEnd(outcome.status, RUN_MS));
        EXPECT_EQ(window.ProgressPosition(), 0);
        EXPECT_TRUE(AwaitEmptyTimeLine());
        EXPECT_TRUE(CloseAndAwaitExit());
    }

    ASSERT_TRUE(receiver.AwaitReport(REPORT_MS));
    for (const auto& fact : outcome.receiverSaw) {
        EXPECT_EQ(receiver.Fact(fact.first), fact.second) << "the receiver's " << fact.first;
    }
}

INSTANTIATE_TEST_SUITE_P(Updater, RunEnds, ::testing::ValuesIn(OUTCOMES),
                         [](const ::testing::TestParamInfo<RunOutcome>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
