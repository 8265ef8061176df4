#include "sim/receiver_model.h"

#include <cstring>

#include "sim/loader_crc.h"
#include "sim/wire.h"

namespace {

constexpr uint64_t NS_PER_MS = 1000000;

constexpr uint8_t SPEED_MESSAGE = 0x53;   // first byte of both speed messages
constexpr uint8_t SWITCH_REQUEST = 0x02;  // at boot speed: move to loader speed
constexpr uint8_t SWITCH_CONFIRM = 0x00;  // the host is at loader speed too

constexpr uint32_t LENGTH_BYTES = 4;  // big-endian byte count; 0 ends a stream
constexpr uint32_t CRC_BYTES = 2;     // most significant byte first
constexpr uint8_t FLIPPED_BIT = 0x10;

constexpr uint8_t YES = 'Y';
constexpr uint8_t NO = 'N';
constexpr uint8_t ERASED = 'E';

}  // namespace

ReceiverModel::ReceiverModel(const ReceiverScenario& scenario, const uint8_t* expectedLoader,
                             uint32_t loaderSize, const uint8_t* expectedRom, uint32_t romSize)
    : scenario_(scenario),
      expectedLoader_(expectedLoader),
      loaderSize_(loaderSize),
      expectedRom_(expectedRom),
      romSize_(romSize),
      summary_() {
    if (scenario_.noiseCount > MAX_NOISE_BYTES) {
        scenario_.noiseCount = MAX_NOISE_BYTES;
    }
}

void ReceiverModel::HostBytes(const uint8_t* bytes, uint32_t count, uint32_t hostBaud,
                              uint32_t nowMs) {
    AdvanceClock(nowMs);
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t arrivalNs = clockNs_;
        if (scenario_.paced) {
            inLineFreeNs_ =
                (inLineFreeNs_ > clockNs_ ? inLineFreeNs_ : clockNs_) + ByteTimeNs(hostBaud);
            arrivalNs = inLineFreeNs_;
        }
        uint8_t byte = bytes[i];
        if (hostBaud != speed_) {
            byte = GarbleByte(byte, hostBaud, speed_);
            ++summary_.bytesGarbled;
        }
        ++summary_.bytesReceived;
        summary_.bytesOutOfTurn += arrivalNs < hostMayTalkNs_;
        summary_.lastHostByteNs = arrivalNs;
        Receive(byte, arrivalNs);
    }
}

bool ReceiverModel::NextByte(uint32_t nowMs, uint32_t hostBaud, uint8_t* byte) {
    AdvanceClock(nowMs);
    const bool queued = outputCount_ > 0 && output_[outputHead_].readyNs <= clockNs_;
    // Chatter is made as it falls due rather than queued up front: a silent erase, or a
    // loader that never gives its handshake, goes on for ever.
    const bool noiseDue = nextChatterNs_ < chatterEndNs_ && nextChatterNs_ <= clockNs_;
    uint32_t sentBaud;
    if (noiseDue && (!queued || nextChatterNs_ <= output_[outputHead_].readyNs)) {
        *byte = Noise(chatterHides_);
        sentBaud = speed_;
        ++summary_.bytesSent;
        summary_.lastReceiverByteNs = nextChatterNs_;
        nextChatterNs_ += chatterEveryNs_;
    } else if (queued) {
        *byte = output_[outputHead_].byte;
        sentBaud = output_[outputHead_].baud;
        outputHead_ = (outputHead_ + 1) % OUTPUT_CAPACITY;
        --outputCount_;
    } else {
        return false;
    }
    if (sentBaud != hostBaud) {
        *byte = GarbleByte(*byte, sentBaud, hostBaud);
    }
    return true;
}

bool ReceiverModel::Finished() const {
    return phase_ == Phase::DONE && outputCount_ == 0;
}

void ReceiverModel::AdvanceClock(uint32_t nowMs) {
    if (clockStarted_) {
        clockNs_ += static_cast<uint32_t>(nowMs - lastNowMs_) * NS_PER_MS;
    }
    clockStarted_ = true;
    lastNowMs_ = nowMs;
}

void ReceiverModel::Receive(uint8_t byte, uint64_t atNs) {
    uint32_t value;
    switch (phase_) {
        case Phase::AWAIT_SWITCH:
            if (sawSpeedMessage_ && byte == SWITCH_REQUEST) {
                speed_ = LOADER_BAUD;
                phase_ = Phase::AWAIT_CONFIRM;
            }
            sawSpeedMessage_ = byte == SPEED_MESSAGE;
            break;
        case Phase::AWAIT_CONFIRM:
            if (sawSpeedMessage_ && byte == SWITCH_CONFIRM) {
                phase_ = Phase::LOADER_HEADER;
            }
            sawSpeedMessage_ = byte == SPEED_MESSAGE;
            break;
        case Phase::LOADER_HEADER:
            if (!loaderStarted_) {
                loaderStarted_ = true;
                summary_.bytesBeforeLoader = summary_.bytesReceived - 1;
                summary_.loaderStartNs = atNs - (scenario_.paced ? ByteTimeNs(speed_) : 0);
            }
            if (TakeField(byte, LENGTH_BYTES, &value)) {
                if (value == 0) {
                    EndLoader(atNs);
                } else {
                    remaining_ = value;
                    phase_ = Phase::LOADER_DATA;
                }
            }
            break;
        case Phase::LOADER_DATA:
            loaderMatches_ = loaderMatches_ && loaderReceived_ < loaderSize_ &&
                             byte == expectedLoader_[loaderReceived_];
            ++loaderReceived_;
            if (--remaining_ == 0) {
                phase_ = Phase::LOADER_HEADER;
            }
            break;
        case Phase::AWAIT_GO:
            if (atNs >= listenFromNs_ && byte == YES) {
                StartErase(atNs);
            }
            break;
        case Phase::ERASING:
            if (atNs < eraseDoneNs_) {
                break;  // the loader does not read the line while it erases
            }
            phase_ = Phase::CHUNK_HEADER;
            [[fallthrough]];
        case Phase::CHUNK_HEADER:
            if (TakeField(byte, LENGTH_BYTES, &value)) {
                if (value == 0) {
                    EndMarker(atNs);
                } else {
                    BeginChunk(value);
                }
            }
            break;
        case Phase::CHUNK_DATA:
            ReceiveChunkByte(byte);
            break;
        case Phase::CHUNK_CRC:
            if (TakeField(byte, CRC_BYTES, &value)) {
                EndChunk(static_cast<uint16_t>(value), atNs);
            }
            break;
        case Phase::DONE:
        case Phase::HUNG:
            break;
    }
}

bool ReceiverModel::TakeField(uint8_t byte, uint32_t width, uint32_t* value) {
    fieldValue_ = (fieldValue_ << 8) | byte;
    if (++fieldBytes_ < width) {
        return false;
    }
    *value = fieldValue_;
    fieldBytes_ = 0;
    fieldValue_ = 0;
    return true;
}

void ReceiverModel::EndLoader(uint64_t atNs) {
    summary_.loaderIntact = loaderMatches_ && loaderReceived_ == loaderSize_;
    // A damaged loader crashes the receiver: it says nothing more.
    if (!summary_.loaderIntact) {
        phase_ = Phase::HUNG;
        hostMayTalkNs_ = NO_DEADLINE;
        return;
    }
    // A loader without a handshake answers nothing more, but may chatter for ever.
    listenFromNs_ = atNs + scenario_.handshakeDelayMs * NS_PER_MS;
    Chatter(scenario_.handshakeNoiseEveryMs, atNs,
            scenario_.handshake ? listenFromNs_ : NO_DEADLINE, "Y");
    if (!scenario_.handshake) {
        phase_ = Phase::HUNG;
        hostMayTalkNs_ = NO_DEADLINE;
        return;
    }
    Answer(YES, "Y", listenFromNs_);
    phase_ = Phase::AWAIT_GO;
}

void ReceiverModel::StartErase(uint64_t atNs) {
    eraseDoneNs_ = scenario_.silentErase ? NO_DEADLINE : atNs + scenario_.eraseMs * NS_PER_MS;
    Chatter(scenario_.eraseNoiseEveryMs, atNs, eraseDoneNs_, "E");
    if (scenario_.silentErase) {
        hostMayTalkNs_ = NO_DEADLINE;
    } else {
        Answer(ERASED, "E", eraseDoneNs_);
    }
    phase_ = Phase::ERASING;
}

void ReceiverModel::Chatter(uint32_t everyMs, uint64_t fromNs, uint64_t untilNs,
                            const char* hides) {
    chatterHides_ = hides;
    chatterEveryNs_ = everyMs * NS_PER_MS;
    nextChatterNs_ = everyMs > 0 ? fromNs + chatterEveryNs_ : NO_DEADLINE;
    chatterEndNs_ = untilNs;
}

void ReceiverModel::BeginChunk(uint32_t length) {
    chunkLength_ = length;
    chunkReceived_ = 0;
    chunkCrc_ = LOADER_CRC_START;
    flipAt_ = NEVER;
    const uint32_t index = summary_.chunksAccepted;
    if (index < SCENARIO_CHUNKS && scenario_.flipTimes[index] > 0) {
        --scenario_.flipTimes[index];
        flipAt_ = length / 2;
    }
    phase_ = Phase::CHUNK_DATA;
}

void ReceiverModel::ReceiveChunkByte(uint8_t byte) {
    if (chunkReceived_ == flipAt_) {
        byte ^= FLIPPED_BIT;
    }
    chunkCrc_ = LoaderCrcStep(chunkCrc_, byte);
    if (chunkReceived_ < CHUNK_BUFFER_BYTES) {
        chunk_[chunkReceived_] = byte;
    }
    if (++chunkReceived_ == chunkLength_) {
        phase_ = Phase::CHUNK_CRC;
    }
}

void ReceiverModel::EndChunk(uint16_t sentCrc, uint64_t atNs) {
    const uint32_t offset = summary_.romBytes;
    if (summary_.chunksReceived < RECORDED_CHUNKS) {
        summary_.chunkOffsets[summary_.chunksReceived] = offset;
    }
    ++summary_.chunksReceived;
    phase_ = Phase::CHUNK_HEADER;
    if (StopsAnswering()) {
        return;
    }
    const uint32_t index = summary_.chunksAccepted;
    bool refused = false;
    if (index < SCENARIO_CHUNKS && scenario_.nakTimes[index] > 0) {
        --scenario_.nakTimes[index];
        refused = true;
    }
    const bool fits = chunkLength_ <= CHUNK_BUFFER_BYTES && chunkLength_ <= ROM_CAPACITY - offset;
    if (refused || !fits || sentCrc != chunkCrc_) {
        ++summary_.naks;
        Answer(NO, "YN", atNs);
        return;
    }
    memcpy(rom_ + offset, chunk_, chunkLength_);
    romMatches_ = romMatches_ && chunkLength_ <= romSize_ && offset <= romSize_ - chunkLength_ &&
                  memcmp(expectedRom_ + offset, chunk_, chunkLength_) == 0;
    summary_.romBytes = offset + chunkLength_;
    summary_.romIdentical = romMatches_ && summary_.romBytes == romSize_;
    ++summary_.chunksAccepted;
    Answer(YES, "YN", atNs);
}

void ReceiverModel::EndMarker(uint64_t atNs) {
    summary_.endMarkerSeen = true;
    if (StopsAnswering()) {
        return;
    }
    Answer(scenario_.endAnswer, "YN", atNs);
    phase_ = Phase::DONE;
}

bool ReceiverModel::StopsAnswering() {
    if (summary_.chunksAccepted < scenario_.stopAfterChunks) {
        return false;
    }
    phase_ = Phase::HUNG;
    hostMayTalkNs_ = NO_DEADLINE;
    return true;
}

void ReceiverModel::Answer(uint8_t answer, const char* hostWaitsFor, uint64_t atNs) {
    const uint8_t noise = Noise(hostWaitsFor);
    for (uint32_t i = 0; i < scenario_.noiseCount; ++i) {
        Send(noise, atNs);
    }
    Send(answer, atNs);
    hostMayTalkNs_ = summary_.lastReceiverByteNs;
}

uint8_t ReceiverModel::Noise(const char* hostWaitsFor) const {
    const uint8_t noise = scenario_.noiseValue;
    const bool meaningful = noise != 0 && strchr(hostWaitsFor, noise) != nullptr;
    return meaningful ? static_cast<uint8_t>(~noise) : noise;
}

void ReceiverModel::Send(uint8_t byte, uint64_t atNs) {
    if (outputCount_ == OUTPUT_CAPACITY) {
        return;  // a host that never reads loses what would overflow the transmit buffer
    }
    uint64_t readyNs = atNs;
    if (scenario_.paced) {
        outLineFreeNs_ = (outLineFreeNs_ > atNs ? outLineFreeNs_ : atNs) + ByteTimeNs(speed_);
        readyNs = outLineFreeNs_;
    }
    output_[(outputHead_ + outputCount_) % OUTPUT_CAPACITY] = {readyNs, speed_, byte};
    ++outputCount_;
    ++summary_.bytesSent;
    summary_.lastReceiverByteNs = readyNs;
}
