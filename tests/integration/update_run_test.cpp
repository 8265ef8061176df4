// Whole update runs against the simulated receiver: what the receiver ends up with, what
// crossed the wire, and what the user is left looking at, for every way a run can end.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/integration/update_world.h"

namespace {

using fake::CHUNK_DATA_BYTES;
using world::Outcome;
using world::UpdateWorld;

// The handheld suspends after a minute without input at the shortest setting; a run resets
// its idle timer at least this often.
constexpr uint32_t MOST_AWAKE_GAP_MS = 10000;

// The receiver's CRC, worked bit by bit (not the program's table).
uint16_t ReferenceCrc(const uint8_t* data, size_t length) {
    uint16_t r = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        r ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0x8408) : static_cast<uint16_t>(r >> 1);
        }
    }
    return r;
}

void AppendLength(std::vector<uint8_t>& stream, uint32_t n) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        stream.push_back(static_cast<uint8_t>(n >> shift));
    }
}

// What the host must send after the speed switch in an error-free run, built from the
// payload files: the loader frame and its end, the go-ahead, each chunk with its length
// and CRC, the end marker.
std::vector<uint8_t> ExpectedStreamAfterSwitch() {
    const std::vector<uint8_t>& loader = world::LoaderFile();
    const std::vector<uint8_t>& rom = world::RomFile();
    std::vector<uint8_t> stream;
    AppendLength(stream, static_cast<uint32_t>(loader.size()));
    stream.insert(stream.end(), loader.begin(), loader.end());
    AppendLength(stream, 0);
    stream.push_back('Y');
    for (size_t offset = 0; offset < rom.size(); offset += CHUNK_DATA_BYTES) {
        const size_t n = std::min<size_t>(CHUNK_DATA_BYTES, rom.size() - offset);
        AppendLength(stream, static_cast<uint32_t>(n));
        stream.insert(stream.end(), rom.begin() + offset, rom.begin() + offset + n);
        const uint16_t crc = ReferenceCrc(rom.data() + offset, n);
        stream.push_back(static_cast<uint8_t>(crc >> 8));
        stream.push_back(static_cast<uint8_t>(crc));
    }
    AppendLength(stream, 0);
    return stream;
}

std::vector<uint8_t> SentAt(uint32_t baud) {
    std::vector<uint8_t> bytes;
    for (const fake::SentByte& b : fake::SentBytes()) {
        if (b.baud == baud) {
            bytes.push_back(b.value);
        }
    }
    return bytes;
}

int PortCloses() {
    return fake::CloseCount(fake::PortHandle());
}

bool OnlyForward(const std::vector<int>& positions) {
    return std::is_sorted(positions.begin(), positions.end()) &&
           std::adjacent_find(positions.begin(), positions.end()) == positions.end();
}

TEST(UpdateRun, CompleteRunLeavesTheReceiverWithTheNewRom) {
    UpdateWorld world;
    const Outcome outcome = world.Run();

    EXPECT_TRUE(world.Receiver().romIdentical);
    EXPECT_EQ(world.Receiver().romBytes, world::RomFile().size());
    EXPECT_TRUE(world.Receiver().loaderIntact);
    EXPECT_TRUE(world.Receiver().endMarkerSeen);

    EXPECT_EQ(SentAt(38400), (std::vector<uint8_t>{0x53, 0x02}));
    const std::vector<uint8_t> fast = SentAt(115200);
    ASSERT_GE(fast.size(), 2u);
    EXPECT_EQ(fast[0], 0x53);
    EXPECT_EQ(fast[1], 0x00);
    const std::vector<uint8_t> expected = ExpectedStreamAfterSwitch();
    EXPECT_TRUE(std::equal(fast.begin() + 2, fast.end(), expected.begin(), expected.end()));

    // 17 whole chunks, then the rest: 15,208 bytes, header 00 00 3B 68.
    ASSERT_EQ(world.Receiver().chunksAccepted, 18u);
    EXPECT_EQ(world.Receiver().chunkOffsets[17], 17 * CHUNK_DATA_BYTES);
    const std::vector<uint8_t> lastHeader = {0x00, 0x00, 0x3B, 0x68};
    EXPECT_NE(std::search(fast.begin(), fast.end(), lastHeader.begin(), lastHeader.end()),
              fast.end());

    EXPECT_EQ(outcome.status, L"Completed successfully");
    EXPECT_EQ(outcome.time, L"");
    EXPECT_EQ(outcome.bar, 0);
    EXPECT_EQ(outcome.finishMessages, 1);
    EXPECT_EQ(outcome.messagesAfterFinish, 0);
    EXPECT_EQ(PortCloses(), 1);
    EXPECT_EQ(outcome.allocations, 0);
    EXPECT_TRUE(outcome.keptAwakeThenReleased);

    // The bar climbed only forward to 100 and went back to 0 at the end.
    std::vector<int> climb = world::BarPositions();
    ASSERT_FALSE(climb.empty());
    EXPECT_EQ(climb.back(), 0);
    climb.pop_back();
    EXPECT_TRUE(OnlyForward(climb));
    EXPECT_EQ(climb.back(), 100);
}

struct Recovery {
    const char* name;
    ReceiverScenario scenario;
    uint32_t chunksReceived;  // 18 plus one per resend
};

ReceiverScenario NakOnce(uint32_t chunk) {
    ReceiverScenario s;
    s.nakTimes[chunk] = 1;
    return s;
}
ReceiverScenario NoisyAnswers() {
    ReceiverScenario s;
    s.noiseCount = 7;
    s.noiseValue = 'Y' ^ 0xFF;
    s.handshakeDelayMs = 1500;
    s.eraseMs = 8000;
    s.eraseNoiseEveryMs = 700;
    return s;
}
ReceiverScenario FlippedBits() {
    ReceiverScenario s;
    s.flipTimes[0] = 2;
    s.flipTimes[17] = 1;
    return s;
}
ReceiverScenario SilentMinuteOfErase() {
    ReceiverScenario s;
    s.eraseMs = 60000;
    return s;
}
ReceiverScenario PacedWithEndMarkerRefused() {
    ReceiverScenario s;
    s.paced = true;
    s.endAnswer = 'N';
    s.nakTimes[4] = 3;
    return s;
}

TEST(UpdateRun, ReceiverThatRejectsOrChattersStillGetsTheWholeImage) {
    const Recovery cases[] = {
        {"'N' once for chunk 3", NakOnce(3), 19},
        {"noise before every answer and during the erase", NoisyAnswers(), 18},
        {"bits flipped on the line", FlippedBits(), 21},
        {"paced line, chunk 4 rejected three times, end marker answered 'N'",
         PacedWithEndMarkerRefused(), 21},
        {"silent for 60 s in the erase before its 'E'", SilentMinuteOfErase(), 18},
    };
    for (const Recovery& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateWorld world(c.scenario);
        const Outcome outcome = world.Run();
        EXPECT_EQ(outcome.status, L"Completed successfully");
        EXPECT_TRUE(world.Receiver().romIdentical);
        EXPECT_EQ(world.Receiver().chunksReceived, c.chunksReceived);
        EXPECT_EQ(world.Receiver().chunksAccepted, 18u);
        std::vector<int> climb = world::BarPositions();
        climb.pop_back();
        EXPECT_TRUE(OnlyForward(climb));
        EXPECT_EQ(outcome.allocations, 0);
        EXPECT_LE(outcome.longestAwakeGapMs, MOST_AWAKE_GAP_MS);
    }
}

TEST(UpdateRun, ARejectedChunkIsSentAgainFromTheSameOffset) {
    UpdateWorld world(NakOnce(3));
    world.Run();
    const ReceiverSummary& r = world.Receiver();
    EXPECT_EQ(r.naks, 1u);
    EXPECT_EQ(r.chunkOffsets[3], 3 * CHUNK_DATA_BYTES);
    EXPECT_EQ(r.chunkOffsets[4], 3 * CHUNK_DATA_BYTES);
    EXPECT_EQ(r.chunkOffsets[5], 4 * CHUNK_DATA_BYTES);
}

struct Failure {
    const char* name;
    ReceiverScenario scenario;
    void (*arrange)();
    const wchar_t* status;
    bool loaderSent;
    uint32_t chunksReceived;
    bool romComplete;
    // 0, or the limit that ends the run: it ends a little past it (within one chattered
    // byte and one read attempt) after the host's last byte.
    uint32_t limitMs = 0;
};

constexpr uint32_t CHATTER_EVERY_MS = 250;

void Nothing() {}
void Inject(fake::Fault fault, fake::Call call, uint32_t nth) {
    fake::InjectedFault() = {fault, call, nth};
}
void RefuseSwitch() {
    fake::Behaviour().refusesSpeedSwitch = true;
}
void FailWriteInChunk2() {
    // 2 + 2 speed bytes, the loader frame (1,292), the go-ahead, then chunk 0 (16,390).
    fake::Behaviour().failWriteAtByte = 2 + 2 + 1292 + 1 + 16390 + 5000;
    fake::Behaviour().maxBytesPerWrite = 4096;
}

ReceiverScenario NoHandshake() {
    ReceiverScenario s;
    s.handshake = false;
    return s;
}
ReceiverScenario LateHandshake() {
    ReceiverScenario s;
    s.handshakeDelayMs = 6000;
    return s;
}
ReceiverScenario NoisyLongErase() {
    ReceiverScenario s;
    s.eraseMs = 45000;
    s.eraseNoiseEveryMs = 1000;
    return s;
}
ReceiverScenario ChattersWithoutHandshake() {
    ReceiverScenario s;
    s.handshake = false;
    s.handshakeNoiseEveryMs = CHATTER_EVERY_MS;
    return s;
}
ReceiverScenario ChattersWithoutErasing() {
    ReceiverScenario s;
    s.silentErase = true;
    s.eraseNoiseEveryMs = CHATTER_EVERY_MS;
    return s;
}
ReceiverScenario HangsAfter(uint32_t chunks) {
    ReceiverScenario s;
    s.stopAfterChunks = chunks;
    return s;
}

TEST(UpdateRun, EachFailureEndsTheRunWithItsOwnMessage) {
    const Failure cases[] = {
        {"no handshake", NoHandshake(), Nothing, L"GPS update not supported", true, 0, false},
        {"handshake after the limit", LateHandshake(), Nothing, L"GPS update not supported", true,
         0, false},
        {"erase chatters past its limit", NoisyLongErase(), Nothing, L"Timeout on erase operation",
         true, 0, false},
        {"receiver hangs after 4 chunks", HangsAfter(4), Nothing,
         L"Error (read timeout): please check sleeve", true, 5, false},
        {"end marker never answered", HangsAfter(18), Nothing,
         L"Error (read timeout): please check sleeve", true, 18, true},
        {"write fails inside chunk 1", ReceiverScenario{}, FailWriteInChunk2,
         L"Error (write error): please check sleeve", true, 1, false},
        {"driver refuses the speed switch", ReceiverScenario{}, RefuseSwitch,
         L"Error: driver 3.1.3 or later required", false, 0, false},
        {"chatter without a handshake", ChattersWithoutHandshake(), Nothing,
         L"GPS update not supported", true, 0, false, 5000},
        {"chatter during an erase without 'E'", ChattersWithoutErasing(), Nothing,
         L"Timeout on erase operation", true, 0, false, 30000},
        // Faults: the run ends with the last upgrade error's text, or none.
        {"exception raised reading the port's settings", ReceiverScenario{},
         [] { Inject(fake::Fault::RAISED, fake::Call::GetCommState, 0); }, L"", false, 0, false},
        {"access violation in the speed switch", ReceiverScenario{},
         [] { Inject(fake::Fault::ACCESS_VIOLATION, fake::Call::DeviceIoControl, 0); }, L"", false,
         0, false},
        {"division by zero writing chunk 0", ReceiverScenario{},
         [] { Inject(fake::Fault::DIVIDE_BY_ZERO, fake::Call::WriteFile, 7); }, L"", true, 0,
         false},
        {"access violation in the handshake wait", ReceiverScenario{},
         [] { Inject(fake::Fault::ACCESS_VIOLATION, fake::Call::ReadFile, 0); },
         L"GPS update not supported", true, 0, false},
        {"division by zero closing the port after a whole update", ReceiverScenario{},
         [] { Inject(fake::Fault::DIVIDE_BY_ZERO, fake::Call::CloseHandle, 0); }, L"", true, 18,
         true},
        {"exception raised closing the port after no handshake", NoHandshake(),
         [] { Inject(fake::Fault::RAISED, fake::Call::CloseHandle, 0); },
         L"Error (read timeout): please check sleeve", true, 0, false},
    };
    for (const Failure& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateWorld world(c.scenario);
        c.arrange();
        const Outcome outcome = world.Run();
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.time, L"");
        EXPECT_EQ(outcome.finishMessages, 1);
        EXPECT_EQ(outcome.messagesAfterFinish, 0);
        EXPECT_EQ(PortCloses(), 1);
        EXPECT_FALSE(fake::Port().open);
        EXPECT_EQ(world.Receiver().loaderIntact, c.loaderSent);
        EXPECT_EQ(world.Receiver().chunksReceived, c.chunksReceived);
        EXPECT_EQ(world.Receiver().romIdentical, c.romComplete);
        EXPECT_EQ(outcome.allocations, 0);
        EXPECT_TRUE(outcome.keptAwakeThenReleased);
        EXPECT_LE(outcome.longestAwakeGapMs, MOST_AWAKE_GAP_MS);
        if (c.limitMs != 0) {
            const uint32_t waited = fake::Calls().back().tick - fake::SentBytes().back().tick;
            EXPECT_GT(waited, c.limitMs);
            EXPECT_LE(waited, c.limitMs + CHATTER_EVERY_MS + fake::READ_ATTEMPT_MS);
        }
    }
}

TEST(UpdateRun, WithoutAHandshakeNothingFollowsTheLoader) {
    UpdateWorld world(NoHandshake());
    world.Run();
    const std::vector<uint8_t> fast = SentAt(115200);
    // 0x53 0x00, then the loader frame and its end marker, and nothing else.
    EXPECT_EQ(fast.size(), 2u + 4 + world::LoaderFile().size() + 4);
}

TEST(UpdateRun, NoReceiverRegisteredEndsBeforeAnyPortIsOpened) {
    UpdateWorld world;
    fake::ResetWorld();
    const Outcome outcome = world.Run();
    EXPECT_EQ(outcome.status, L"GPS receiver not attached");
    EXPECT_EQ(outcome.finishMessages, 1);
    EXPECT_EQ(fake::Port().opens, 0);
}

// Index of the first port call after the cancel event was set at call k, and whether
// the port saw any traffic from there on (a write or a read).
bool TrafficAfterCall(uint32_t k) {
    const std::vector<fake::CallRecord>& calls = fake::Calls();
    for (size_t i = k + 1; i < calls.size(); ++i) {
        if (calls[i].call == fake::Call::WriteFile || calls[i].call == fake::Call::ReadFile) {
            return true;
        }
    }
    return false;
}

TEST(UpdateRun, CancellationAtEveryPortCallEndsCleanly) {
    uint32_t totalCalls;
    {
        UpdateWorld world;
        world.Run();
        totalCalls = static_cast<uint32_t>(fake::Calls().size());
    }
    for (uint32_t k = 0; k < totalCalls; ++k) {
        SCOPED_TRACE(k);
        UpdateWorld world;
        fake::Behaviour().cancelAtCall = k;
        const Outcome outcome = world.Run();
        EXPECT_EQ(outcome.status, L"Cancelled");
        EXPECT_EQ(outcome.bar, 0);
        EXPECT_EQ(outcome.time, L"");
        EXPECT_EQ(outcome.finishMessages, 1);
        EXPECT_EQ(outcome.messagesAfterFinish, 0);
        EXPECT_FALSE(TrafficAfterCall(k));
        EXPECT_EQ(PortCloses(), 1);
        EXPECT_EQ(outcome.allocations, 0);
        EXPECT_TRUE(outcome.keptAwakeThenReleased);
        if (HasFailure()) {
            break;  // one broken point tells the story; don't drown it
        }
    }
}

TEST(UpdateRun, SilentEraseWaitsUntilCancelled) {
    ReceiverScenario silent;
    silent.silentErase = true;
    UpdateWorld world(silent);
    fake::Behaviour().cancelAtCall = 20000;  // long after the erase began
    const Outcome outcome = world.Run();
    EXPECT_EQ(outcome.status, L"Cancelled");
    EXPECT_EQ(world.Receiver().chunksReceived, 0u);
    // Far past the erase limit of 30 s: a silent receiver is not timed out.
    EXPECT_GT(fake::Calls().back().tick, 60000u * 5);
    EXPECT_LE(outcome.longestAwakeGapMs, MOST_AWAKE_GAP_MS);
}

TEST(UpdateRun, TickCountWrappingDuringTheRunChangesNothing) {
    ReceiverScenario paced;
    paced.paced = true;
    UpdateWorld world(paced, 0xFFFFFFFF - 9000);
    const Outcome outcome = world.Run();
    EXPECT_EQ(outcome.status, L"Completed successfully");
    EXPECT_TRUE(world.Receiver().romIdentical);
}

}  // namespace
