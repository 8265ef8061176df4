// The time-remaining line during programming, as the user watches it: every estimate the
// worker shows, compared with the estimate worked out from the turns the receiver saw.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/integration/update_world.h"

namespace {

using fake::CHUNK_DATA_BYTES;

constexpr int L = 13;  // the world's layout units
constexpr int B = 15;
constexpr uint32_t IMAGE = 293736;

// Sits between the fake port and the receiver and notes, at every write, each time the
// worker has shown a time line since the last write (the line's band was invalidated):
// an estimate is shown after a chunk's answer and before the next chunk goes out. It also
// notes the virtual times at which each chunk turn began and was answered.
class ObservingPeer : public fake::SerialPeer {
public:
    ObservingPeer(ReceiverModel& model, uint32_t msPerWrite)
        : model_(model), msPerWrite_(msPerWrite) {}

    void OnHostBytes(const uint8_t* bytes, uint32_t count, uint32_t hostBaud,
                     uint32_t nowMs) override {
        NoteTimeLine();
        if (programming_ && count == 4 && awaitingAnswer_ == false) {
            // A chunk header (or the end marker): the turn began before this write.
            turnStart_ = nowMs - msPerWrite_;
            length_ =
                static_cast<uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
            awaitingAnswer_ = length_ != 0;
        }
        model_.HostBytes(bytes, count, hostBaud, nowMs);
    }

    bool TakeByteForHost(uint32_t nowMs, uint32_t hostBaud, uint8_t* byte) override {
        if (!model_.NextByte(nowMs, hostBaud, byte)) {
            return false;
        }
        if (*byte == 'E' && !programming_) {
            programming_ = true;
        } else if (awaitingAnswer_ && (*byte == 'Y' || *byte == 'N')) {
            turns.push_back({nowMs - turnStart_, *byte == 'Y' ? length_ : 0});
            awaitingAnswer_ = false;
        }
        return true;
    }

    struct Turn {
        uint32_t ms;
        uint32_t accepted;
    };
    std::vector<Turn> turns;
    std::vector<std::wstring> shown;

    void NoteTimeLine() {
        HRGN region = CreateRectRgn(0, 0, 0, 0);
        GetUpdateRgn(g_hMainWnd, region, FALSE);
        RECT band = {0, 3 * B, 240, 3 * B + L};
        if (RectInRegion(region, &band)) {
            shown.push_back(g_timeText);
            ValidateRect(g_hMainWnd, &band);
        }
        DeleteObject(region);
    }

private:
    ReceiverModel& model_;
    uint32_t msPerWrite_;
    bool programming_ = false;
    bool awaitingAnswer_ = false;
    uint32_t turnStart_ = 0;
    uint32_t length_ = 0;
};

std::wstring TimeText(uint32_t seconds) {
    wchar_t text[64];
    swprintf(text, 64, L"Time remaining: %u:%02u", seconds / 60, seconds % 60);
    return text;
}

// The estimates the user should see, worked out from the turns: whole chunks left times
// the average turn per whole chunk accepted, shown only when it changes, starting from a
// remembered 26.
std::vector<std::wstring> ExpectedTimeLine(const std::vector<ObservingPeer::Turn>& turns) {
    std::vector<std::wstring> expected;
    uint32_t acked = 0;
    uint32_t busy = 0;
    uint32_t last = 26;
    for (const ObservingPeer::Turn& turn : turns) {
        acked += turn.accepted;
        busy += turn.ms;
        if (acked / CHUNK_DATA_BYTES == 0) {
            continue;
        }
        const uint32_t estimate =
            (IMAGE - acked) / CHUNK_DATA_BYTES * (busy / (acked / CHUNK_DATA_BYTES)) / 1000;
        if (estimate != last) {
            last = estimate;
            expected.push_back(TimeText(estimate));
        }
    }
    expected.push_back(L"");  // cleared when the image is in
    return expected;
}

struct Case {
    const char* name;
    uint32_t msPerWrite;
    uint8_t firstChunkNaks;
    bool firstShownIs26Skipped;  // the first estimate comes out at exactly 26 s
};

TEST(TimeLine, ShowsTheFormulasEstimatesOnlyWhenTheyChange) {
    const Case cases[] = {
        {"paced line", 0, 0, false},
        {"paced line, slow port: first estimate exactly 26 s", 110, 0, true},
        {"first chunk rejected twice: no estimate until one is accepted", 0, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverScenario scenario;
        scenario.paced = true;
        scenario.nakTimes[0] = c.firstChunkNaks;
        world::UpdateWorld world(scenario);
        ReceiverModel& model = world.Model();
        ObservingPeer observer(model, c.msPerWrite);
        fake::AttachPeer(&observer);
        fake::Behaviour().msPerWrite = c.msPerWrite;
        ShowWindow(g_hMainWnd, SW_SHOWNOACTIVATE);
        ValidateRect(g_hMainWnd, nullptr);

        const world::Outcome outcome = world.Run();
        observer.NoteTimeLine();
        ShowWindow(g_hMainWnd, SW_HIDE);

        ASSERT_EQ(outcome.status, L"Completed successfully");
        ASSERT_EQ(observer.turns.size(), 18u + c.firstChunkNaks);
        const std::vector<std::wstring> expected = ExpectedTimeLine(observer.turns);
        EXPECT_EQ(observer.shown, expected);
        // While the last chunk is under way no whole chunk is left: 0:00 is on the line.
        ASSERT_GE(observer.shown.size(), 2u);
        EXPECT_EQ(observer.shown[observer.shown.size() - 2], L"Time remaining: 0:00");
        const uint32_t firstTurn = observer.turns[c.firstChunkNaks].ms;
        EXPECT_EQ(16 * firstTurn / 1000 == 26, c.firstShownIs26Skipped) << firstTurn;
        if (c.firstShownIs26Skipped) {
            EXPECT_NE(observer.shown.front(), L"Time remaining: 0:26");
        }
    }
}

}  // namespace
