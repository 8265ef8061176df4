#include "sim/receiver_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/chunk_checksum.h"
#include "engine/payload_images.h"
#include "sim/wire.h"
#include "tests/fakes/allocation_counter.h"
#include "tests/fakes/payload_files.h"
#include "tests/fakes/receiver_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using fake::CHUNK_DATA_BYTES;

constexpr uint32_t IMAGE_CHUNKS = 18;  // 17 whole chunks and one of 15,208 bytes
const std::string EVERY_CHUNK_ACCEPTED(IMAGE_CHUNKS, 'Y');

void PutLength(Bytes& out, uint32_t n) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(n >> shift));
    }
}

Bytes LoaderStream() {
    Bytes out;
    PutLength(out, LOADER_IMAGE_SIZE);
    out.insert(out.end(), LoaderImage, LoaderImage + LOADER_IMAGE_SIZE);
    PutLength(out, 0);
    return out;
}

// One chunk as the updater sends it, its CRC from the updater's own checksum code.
Bytes ChunkFrame(uint32_t offset, uint32_t n) {
    static UpgradeContext context;
    BuildCrcTable(context);
    Bytes out;
    PutLength(out, n);
    out.insert(out.end(), RomImage + offset, RomImage + offset + n);
    const uint16_t crc = ComputeCrc(context, CRC_INITIAL, RomImage + offset, n);
    out.push_back(static_cast<uint8_t>(crc >> 8));
    out.push_back(static_cast<uint8_t>(crc));
    return out;
}

uint32_t ChunkLength(uint32_t offset) {
    return ROM_IMAGE_SIZE - offset < CHUNK_DATA_BYTES ? ROM_IMAGE_SIZE - offset : CHUNK_DATA_BYTES;
}

std::unique_ptr<ReceiverModel> MakeReceiver(const ReceiverScenario& scenario) {
    return std::make_unique<ReceiverModel>(scenario, LoaderImage, LOADER_IMAGE_SIZE, RomImage,
                                           ROM_IMAGE_SIZE);
}

// The updater's side of the line in virtual time, talking to the model through the fake
// serial port's peer interface. A wait polls once per millisecond.
struct Host {
    Host(ReceiverModel& model, uint32_t startMs) : peer(model), now(startMs) {}

    void Send(const Bytes& bytes, uint32_t baud = LOADER_BAUD) {
        peer.OnHostBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), baud, now);
    }
    // The speed switch, then the loader at the speed the host has switched to.
    void Boot(uint32_t requestBaud = BOOT_BAUD, uint32_t loaderBaud = LOADER_BAUD) {
        Send({0x53, 0x02}, requestBaud);
        now += 100;
        Send({0x53, 0x00}, loaderBaud);
        Send(LoaderStream(), loaderBaud);
    }
    // Boot, handshake and erase, each answer awaited for at most limitMs.
    bool ReachChunks(uint32_t limitMs) {
        Boot();
        if (Await("Y", limitMs) != 'Y') {
            return false;
        }
        Send({'Y'});
        return Await("E", limitMs) == 'E';
    }
    // Reads until one of the wanted bytes comes (returned) or limitMs pass (0).
    uint8_t Await(const char* wanted, uint32_t limitMs, uint32_t baud = LOADER_BAUD) {
        for (uint32_t waited = 0; waited <= limitMs; ++waited, ++now) {
            uint8_t byte;
            while (peer.TakeByteForHost(now, baud, &byte)) {
                heard.push_back(static_cast<char>(byte));
                if (byte != 0 && strchr(wanted, byte) != nullptr) {
                    return byte;
                }
            }
        }
        return 0;
    }

    fake::ReceiverPeer peer;
    uint32_t now;
    std::string heard;  // every byte read
};

struct UpdaterLog {
    std::string answers;  // the answers the updater acted on, in order
    std::vector<uint32_t> offsetsSent;
};

// The whole update as the updater runs it, resending refused chunks, giving up where it
// would (5 s for an answer, 30 s and a little for the erase).
UpdaterLog RunUpdate(Host& host) {
    UpdaterLog log;
    host.Boot();
    for (const char* wanted : {"Y", "E"}) {
        const uint8_t answer = host.Await(wanted, wanted[0] == 'E' ? 31000 : 5000);
        if (answer == 0) {
            return log;
        }
        log.answers += static_cast<char>(answer);
        if (answer == 'Y') {
            host.Send({'Y'});
        }
    }
    for (uint32_t acked = 0; acked < ROM_IMAGE_SIZE;) {
        log.offsetsSent.push_back(acked);
        host.Send(ChunkFrame(acked, ChunkLength(acked)));
        const uint8_t answer = host.Await("YN", 5000);
        if (answer == 0) {
            return log;
        }
        log.answers += static_cast<char>(answer);
        acked += answer == 'Y' ? ChunkLength(acked) : 0;
    }
    host.Send({0, 0, 0, 0});
    const uint8_t answer = host.Await("YN", 5000);
    if (answer != 0) {
        log.answers += static_cast<char>(answer);
    }
    return log;
}

TEST(ReceiverModel, AcceptsTheUpdatersExactByteStream) {
    Bytes rest = LoaderStream();
    rest.push_back('Y');
    for (uint32_t offset = 0; offset < ROM_IMAGE_SIZE; offset += CHUNK_DATA_BYTES) {
        const Bytes chunk = ChunkFrame(offset, ChunkLength(offset));
        rest.insert(rest.end(), chunk.begin(), chunk.end());
    }
    PutLength(rest, 0);
    auto receiver = MakeReceiver({});

    const long allocationsBefore = fake::AllocationCount();
    const uint8_t request[] = {0x53, 0x02}, confirm[] = {0x53, 0x00};
    receiver->HostBytes(request, 2, BOOT_BAUD, 0);
    receiver->HostBytes(confirm, 2, LOADER_BAUD, 100);
    receiver->HostBytes(rest.data(), static_cast<uint32_t>(rest.size()), LOADER_BAUD, 100);
    char answers[64] = {};
    uint8_t byte;
    for (size_t n = 0; n + 1 < sizeof answers && receiver->NextByte(100, LOADER_BAUD, &byte);) {
        answers[n++] = static_cast<char>(byte);
    }
    EXPECT_EQ(fake::AllocationCount(), allocationsBefore);

    EXPECT_EQ(std::string(answers), "YE" + EVERY_CHUNK_ACCEPTED + "Y");
    const ReceiverSummary& s = receiver->Summary();
    EXPECT_EQ(s.bytesReceived, 4 + rest.size());
    EXPECT_EQ(s.bytesGarbled, 0u);
    EXPECT_TRUE(s.loaderIntact);
    EXPECT_EQ(s.chunksReceived, IMAGE_CHUNKS);
    EXPECT_EQ(s.chunksAccepted, IMAGE_CHUNKS);
    for (uint32_t i = 0; i < IMAGE_CHUNKS; ++i) {
        EXPECT_EQ(s.chunkOffsets[i], i * CHUNK_DATA_BYTES);
    }
    EXPECT_EQ(s.naks, 0u);
    EXPECT_TRUE(s.endMarkerSeen);
    EXPECT_EQ(s.romBytes, ROM_IMAGE_SIZE);
    EXPECT_TRUE(s.romIdentical);
    EXPECT_EQ(memcmp(receiver->Rom(), RomImage, ROM_IMAGE_SIZE), 0);
    EXPECT_TRUE(receiver->Finished());
}

struct UpdateCase {
    const char* name;
    void (*shape)(ReceiverScenario&);
    std::string answers;  // what the updater hears and acts on
    size_t bytesHeard;    // noise included
    uint32_t naks;
    bool romIdentical;
};

TEST(ReceiverModel, ScenariosAsTheUpdaterLivesThem) {
    const std::string ALL = EVERY_CHUNK_ACCEPTED;
    const UpdateCase cases[] = {
        {"good receiver", [](ReceiverScenario&) {}, "YE" + ALL + "Y", 21, 0, true},
        {"paced line", [](ReceiverScenario& s) { s.paced = true; }, "YE" + ALL + "Y", 21, 0, true},
        {"handshake after 4.9 s", [](ReceiverScenario& s) { s.handshakeDelayMs = 4900; },
         "YE" + ALL + "Y", 21, 0, true},
        {"'N' twice to chunk 3", [](ReceiverScenario& s) { s.nakTimes[3] = 2; },
         "YEYYYNN" + ALL.substr(3) + "Y", 23, 2, true},
        {"bit flipped in chunks 0 and 17",
         [](ReceiverScenario& s) {
             s.flipTimes[0] = 1;
             s.flipTimes[17] = 1;
         },
         "YEN" + ALL.substr(1) + "NYY", 23, 2, true},
        {"three 'Y' of noise before each answer",
         [](ReceiverScenario& s) {
             s.noiseCount = 3;
             s.noiseValue = 'Y';
         },
         "YE" + ALL + "Y", 84, 0, true},
        {"'N' noise",
         [](ReceiverScenario& s) {
             s.noiseCount = 1;
             s.noiseValue = 'N';
         },
         "YE" + ALL + "Y", 42, 0, true},
        {"'E' noise, also while a 2 s erase lasts",
         [](ReceiverScenario& s) {
             s.noiseCount = 1;
             s.noiseValue = 'E';
             s.eraseMs = 2000;
             s.eraseNoiseEveryMs = 250;
         },
         "YE" + ALL + "Y", 42 + 7, 0, true},
        {"end marker answered 'N'", [](ReceiverScenario& s) { s.endAnswer = 'N'; },
         "YE" + ALL + "N", 21, 0, true},
        {"no handshake", [](ReceiverScenario& s) { s.handshake = false; }, "", 0, 0, false},
        {"'Y' noise while a 2 s handshake delay lasts",
         [](ReceiverScenario& s) {
             s.noiseValue = 'Y';
             s.handshakeDelayMs = 2000;
             s.handshakeNoiseEveryMs = 300;
         },
         "YE" + ALL + "Y", 21 + 6, 0, true},
        {"no handshake, chatter for ever",
         [](ReceiverScenario& s) {
             s.handshake = false;
             s.handshakeNoiseEveryMs = 1000;
         },
         "", 5, 0, false},
        {"silent erase with noise",
         [](ReceiverScenario& s) {
             s.silentErase = true;
             s.eraseNoiseEveryMs = 1000;
         },
         "Y", 1 + 31, 0, false},
        {"hangs after 5 chunks", [](ReceiverScenario& s) { s.stopAfterChunks = 5; }, "YEYYYYY", 7,
         0, false},
        {"hangs before answering the end marker",
         [](ReceiverScenario& s) { s.stopAfterChunks = IMAGE_CHUNKS; }, "YE" + ALL, 20, 0, true},
    };
    for (const UpdateCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverScenario scenario;
        c.shape(scenario);
        auto receiver = MakeReceiver(scenario);
        Host host(*receiver, 0);
        const UpdaterLog log = RunUpdate(host);

        EXPECT_EQ(log.answers, c.answers);
        EXPECT_EQ(host.heard.size(), c.bytesHeard);
        const ReceiverSummary& s = receiver->Summary();
        EXPECT_TRUE(s.loaderIntact);
        EXPECT_EQ(s.naks, c.naks);
        ASSERT_EQ(s.chunksReceived, log.offsetsSent.size());
        for (size_t i = 0; i < log.offsetsSent.size(); ++i) {
            EXPECT_EQ(s.chunkOffsets[i], log.offsetsSent[i]) << "chunk " << i;
        }
        EXPECT_EQ(s.romIdentical, c.romIdentical);
        EXPECT_EQ(memcmp(receiver->Rom(), RomImage, s.romBytes), 0);
        EXPECT_EQ(s.bytesOutOfTurn, 0u) << "a host that waits for every answer";
    }
}

struct SpoiledChunk {
    const char* name;
    void (*spoil)(Bytes& frame);
};

TEST(ReceiverModel, ChunkThatFailsItsCheckIsRefusedAndNotWritten) {
    const SpoiledChunk cases[] = {
        {"data byte changed", [](Bytes& f) { f[4 + 100] ^= 0x01; }},
        {"CRC off by one", [](Bytes& f) { f.back() ^= 0x01; }},
        {"CRC least significant byte first", [](Bytes& f) { std::swap(f.end()[-1], f.end()[-2]); }},
        {"longer than the loader's buffer",
         [](Bytes& f) { f = ChunkFrame(CHUNK_DATA_BYTES, CHUNK_DATA_BYTES + 1); }},
    };
    for (const SpoiledChunk& c : cases) {
        SCOPED_TRACE(c.name);
        auto receiver = MakeReceiver({});
        Host host(*receiver, 0);
        ASSERT_TRUE(host.ReachChunks(10));
        host.Send(ChunkFrame(0, CHUNK_DATA_BYTES));
        ASSERT_EQ(host.Await("YN", 10), 'Y');

        Bytes spoiled = ChunkFrame(CHUNK_DATA_BYTES, CHUNK_DATA_BYTES);
        c.spoil(spoiled);
        host.Send(spoiled);
        EXPECT_EQ(host.Await("YN", 10), 'N');
        EXPECT_EQ(receiver->Summary().romBytes, CHUNK_DATA_BYTES);
        EXPECT_EQ(receiver->Summary().chunksAccepted, 1u);

        host.Send(ChunkFrame(CHUNK_DATA_BYTES, CHUNK_DATA_BYTES));
        EXPECT_EQ(host.Await("YN", 10), 'Y');
        const ReceiverSummary& s = receiver->Summary();
        EXPECT_EQ(s.romBytes, 2 * CHUNK_DATA_BYTES);
        EXPECT_EQ(memcmp(receiver->Rom(), RomImage, s.romBytes), 0);
        const uint32_t offsets[] = {0, CHUNK_DATA_BYTES, CHUNK_DATA_BYTES};
        ASSERT_EQ(s.chunksReceived, 3u);
        EXPECT_EQ(memcmp(s.chunkOffsets, offsets, sizeof offsets), 0);
    }
}

TEST(ReceiverModel, GoAheadBeforeTheHandshakeIsLost) {
    ReceiverScenario scenario;
    scenario.handshakeDelayMs = 1000;
    auto receiver = MakeReceiver(scenario);
    Host host(*receiver, 0);
    host.Boot();
    host.Send({'Y'});  // the loader is not running yet
    EXPECT_EQ(host.Await("Y", 2000), 'Y');
    EXPECT_EQ(host.Await("E", 1000), 0);
    host.Send({'Y'});
    EXPECT_EQ(host.Await("E", 10), 'E');
    EXPECT_EQ(receiver->Summary().bytesOutOfTurn, 1u);
}

TEST(ReceiverModel, ChunkSentDuringTheEraseIsLost) {
    ReceiverScenario scenario;
    scenario.eraseMs = 1000;
    auto receiver = MakeReceiver(scenario);
    Host host(*receiver, 0);
    host.Boot();
    ASSERT_EQ(host.Await("Y", 10), 'Y');
    host.Send({'Y'});
    host.Send(ChunkFrame(0, CHUNK_DATA_BYTES));
    EXPECT_EQ(host.Await("E", 2000), 'E');
    EXPECT_EQ(host.Await("YN", 1000), 0);
    host.Send(ChunkFrame(0, CHUNK_DATA_BYTES));
    EXPECT_EQ(host.Await("YN", 10), 'Y');
    EXPECT_EQ(receiver->Summary().chunksReceived, 1u);
    EXPECT_EQ(receiver->Summary().bytesOutOfTurn, ChunkFrame(0, CHUNK_DATA_BYTES).size());
}

TEST(ReceiverModel, BytesAfterAnAnswerThatNeverComesAreOutOfTurn) {
    ReceiverScenario scenario;
    scenario.handshake = false;
    auto receiver = MakeReceiver(scenario);
    Host host(*receiver, 0);
    host.Boot();
    EXPECT_EQ(receiver->Summary().bytesOutOfTurn, 0u);
    host.now += 60000;
    host.Send({'Y', 0, 0, 0, 0});
    EXPECT_EQ(receiver->Summary().bytesOutOfTurn, 5u);
}

struct SpeedCase {
    const char* name;
    uint32_t requestBaud, loaderBaud, readBaud;  // the host's speeds
    uint32_t receiverSpeed;                      // where the receiver ends up
    uint32_t garbled;                            // bytes it could not read
    std::string heard;                           // what the host reads back
};

TEST(ReceiverModel, BytesAtTheWrongSpeedArriveGarbled) {
    const uint32_t loaderBytes = static_cast<uint32_t>(LoaderStream().size());
    const SpeedCase cases[] = {
        {"both ends switch", BOOT_BAUD, LOADER_BAUD, LOADER_BAUD, LOADER_BAUD, 0, "Y"},
        {"switch request sent fast", LOADER_BAUD, LOADER_BAUD, LOADER_BAUD, BOOT_BAUD,
         4 + loaderBytes, ""},
        {"host stays slow", BOOT_BAUD, BOOT_BAUD, BOOT_BAUD, LOADER_BAUD, 2 + loaderBytes, ""},
        {"host reads the handshake slow", BOOT_BAUD, LOADER_BAUD, BOOT_BAUD, LOADER_BAUD, 0,
         "\xFF"},
    };
    for (const SpeedCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto receiver = MakeReceiver({});
        Host host(*receiver, 0);
        host.Boot(c.requestBaud, c.loaderBaud);
        host.Await("", 100, c.readBaud);
        EXPECT_EQ(receiver->LineSpeed(), c.receiverSpeed);
        EXPECT_EQ(receiver->Summary().bytesGarbled, c.garbled);
        EXPECT_EQ(host.heard, c.heard);
    }
}

TEST(ReceiverModel, GarbledBytesNeverReadAsProtocolBytes) {
    for (uint32_t sent : {BOOT_BAUD, LOADER_BAUD}) {
        const uint32_t read = sent == BOOT_BAUD ? LOADER_BAUD : BOOT_BAUD;
        for (int value = 0; value < 256; ++value) {
            const uint8_t g = GarbleByte(static_cast<uint8_t>(value), sent, read);
            EXPECT_TRUE(g != 'Y' && g != 'N' && g != 'E' && g != 0x53)
                << value << " sent at " << sent;
        }
    }
}

struct PacingCase {
    const char* name;
    bool paced;
    uint32_t chunkLength;
    uint32_t answerAfterMs;  // from the moment the host sent the chunk
};

TEST(ReceiverModel, PacedAnswerWaitsForTheRequestToCrossTheLine) {
    const PacingCase cases[] = {
        {"unpaced: at once", false, CHUNK_DATA_BYTES, 0},
        // 16,390 bytes of 10 bits at 115,200 bit/s, then the answer's own 0.09 ms.
        {"whole chunk", true, CHUNK_DATA_BYTES, 1423},
        {"last chunk", true, 15208, 1321},
        {"one byte", true, 1, 1},
    };
    for (const PacingCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverScenario scenario;
        scenario.paced = c.paced;
        auto receiver = MakeReceiver(scenario);
        Host host(*receiver, 0);
        ASSERT_TRUE(host.ReachChunks(1000));
        host.now += 10;

        const uint32_t sentAt = host.now;
        host.Send(ChunkFrame(0, c.chunkLength));
        ASSERT_EQ(host.Await("Y", 5000), 'Y');
        EXPECT_EQ(host.now - sentAt, c.answerAfterMs);
    }
}

TEST(ReceiverModel, PacedBytesLeaveNoFasterThanTheLine) {
    ReceiverScenario scenario;
    scenario.paced = true;
    scenario.noiseCount = 22;  // with the handshake, 23 bytes: 2.0 ms at 115,200 bit/s
    auto receiver = MakeReceiver(scenario);
    Host host(*receiver, 0);
    host.Boot();  // the loader crosses the line until 212.3 ms
    const uint32_t heardByMs[][2] = {{212, 0}, {213, 7}, {214, 19}, {215, 23}, {216, 23}};
    for (const auto& [ms, count] : heardByMs) {
        host.Await("", ms - host.now);
        EXPECT_EQ(host.heard.size(), count) << "by " << ms << " ms";
    }
}

TEST(ReceiverModel, PacedLineTimesSpanTheLoaderToTheLastAnswer) {
    ReceiverScenario scenario;
    scenario.paced = true;
    auto receiver = MakeReceiver(scenario);
    Host host(*receiver, 0);
    RunUpdate(host);
    const ReceiverSummary& s = receiver->Summary();
    const uint64_t byteNs = ByteTimeNs(LOADER_BAUD);

    EXPECT_EQ(s.bytesBeforeLoader, 4u);  // the two speed messages
    EXPECT_EQ(s.bytesSent, 2 + IMAGE_CHUNKS + 1);
    // The confirmation is sent 100 ms in and takes two byte times; the loader follows.
    EXPECT_EQ(s.loaderStartNs, 100000000 + 2 * byteNs);
    // The end marker's answer crosses right behind the marker.
    EXPECT_EQ(s.lastReceiverByteNs, s.lastHostByteNs + byteNs);
    // Every byte from the loader on crossed the line one after the other; this host loses
    // up to a millisecond each time it turns to read an answer.
    const uint64_t lineNs = (s.bytesReceived - s.bytesBeforeLoader + s.bytesSent) * byteNs;
    const uint64_t spanNs = s.lastReceiverByteNs - s.loaderStartNs;
    EXPECT_GE(spanNs, lineNs);
    EXPECT_LE(spanNs, lineNs + s.bytesSent * 1000000);
}

TEST(ReceiverModel, DelaysHoldAcrossTheTickCountWrap) {
    ReceiverScenario scenario;
    scenario.handshakeDelayMs = 3000;
    auto receiver = MakeReceiver(scenario);
    Host host(*receiver, 0xFFFFFFFF - 1000);
    host.Boot();
    const uint32_t loaderEnd = host.now;
    ASSERT_EQ(host.Await("Y", 5000), 'Y');
    EXPECT_EQ(host.now - loaderEnd, 3000u);
}

}  // namespace
