// The GPS receiver at the far end of the serial line, as far as the updater can see it:
// boot code that takes the speed switch (0x53 0x02 at 38,400 bit/s, then 0x53 0x00 at
// 115,200) and a length-framed loader, then the loader's conversation: 'Y' handshake,
// the host's 'Y', erase and 'E', CRC-checked chunks answered 'Y' (written) or 'N' (not
// written), and the end marker with its answer. Behaviour is shaped by ReceiverScenario.
//
// Byte in, byte out, in virtual milliseconds: no OS calls, nothing allocated after
// construction. The times passed in never go backwards; they may wrap past 0xFFFFFFFF.
#pragma once

#include <cstdint>

#include "sim/receiver_scenario.h"
#include "sim/wire.h"

constexpr uint32_t CHUNK_BUFFER_BYTES = 16384;  // the loader's RAM: longer chunks get 'N'
constexpr uint32_t ROM_CAPACITY = 512 * 1024;   // the receiver's ROM storage
constexpr uint32_t RECORDED_CHUNKS = 256;       // chunk offsets kept in the summary

struct ReceiverSummary {
    uint32_t bytesReceived;  // every byte the line delivered
    // Of those, bytes that arrived while the host owed the receiver a wait: before the
    // answer to what it had sent last (the handshake, 'E', a chunk's answer) had reached it,
    // or at all once no answer is coming (no handshake, a silent erase, a hung receiver).
    uint32_t bytesOutOfTurn;
    uint32_t bytesGarbled;  // of those, bytes sent at another speed than the receiver's
    bool loaderIntact;      // the loader stream ended, carrying exactly the expected loader
    uint32_t chunksReceived;
    // The ROM offset each received chunk was aimed at, in order of arrival (the first
    // RECORDED_CHUNKS of them): a resent chunk shows up twice.
    uint32_t chunkOffsets[RECORDED_CHUNKS];
    uint32_t chunksAccepted;
    uint32_t naks;  // 'N' answers, each asking for the chunk again
    bool endMarkerSeen;
    uint32_t romBytes;  // written by accepted chunks
    bool romIdentical;  // the written ROM equals the expected image, byte for byte, all of it

    // How long the line was busy, on the model's time line (nanoseconds from the first
    // moment it was given): when the first byte of the loader stream began to cross, and
    // when the latest byte of each side had crossed. With the bytes counted on each side,
    // this tells how close the host came to what the line can carry. 0 until it happens.
    uint32_t bytesSent;          // every byte the receiver put on the line
    uint32_t bytesBeforeLoader;  // of bytesReceived, those before the loader stream
    uint64_t loaderStartNs;
    uint64_t lastHostByteNs;      // arrival of the host's latest byte
    uint64_t lastReceiverByteNs;  // arrival at the host of the receiver's latest byte
};

class ReceiverModel {
public:
    // Keeps the two images by pointer: they must outlive the model. The model holds the
    // ROM storage, so it is large: give it static storage or allocate it once.
    ReceiverModel(const ReceiverScenario& scenario, const uint8_t* expectedLoader,
                  uint32_t loaderSize, const uint8_t* expectedRom, uint32_t romSize);

    // Bytes the host put on the line at nowMs, at hostBaud bit/s. A byte sent at another
    // speed than the receiver listens at arrives garbled.
    void HostBytes(const uint8_t* bytes, uint32_t count, uint32_t hostBaud, uint32_t nowMs);

    // The next byte for a host that reads at hostBaud at nowMs, if one has arrived by
    // then; garbled if the receiver sent it at another speed.
    bool NextByte(uint32_t nowMs, uint32_t hostBaud, uint8_t* byte);

    // The speed the receiver listens and talks at now.
    uint32_t LineSpeed() const { return speed_; }

    // True once the end marker has been answered and the host has read everything.
    bool Finished() const;

    const ReceiverSummary& Summary() const { return summary_; }

    // The ROM written so far: Summary().romBytes bytes.
    const uint8_t* Rom() const { return rom_; }

private:
    enum class Phase {
        AWAIT_SWITCH,   // boot code at 38,400 bit/s, waiting for 0x53 0x02
        AWAIT_CONFIRM,  // at 115,200, waiting for 0x53 0x00
        LOADER_HEADER,
        LOADER_DATA,
        AWAIT_GO,  // handshake sent (or due), waiting for the host's 'Y'
        ERASING,
        CHUNK_HEADER,
        CHUNK_DATA,
        CHUNK_CRC,
        DONE,  // end marker answered; bytes are ignored
        HUNG,  // answers nothing more; bytes are ignored
    };

    struct Outgoing {
        uint64_t readyNs;  // when the byte has reached the host's side
        uint32_t baud;     // speed it was sent at
        uint8_t byte;
    };
    static constexpr uint32_t OUTPUT_CAPACITY = 2048;
    static constexpr uint64_t NO_DEADLINE = UINT64_MAX;

    void AdvanceClock(uint32_t nowMs);
    void Receive(uint8_t byte, uint64_t atNs);
    bool TakeField(uint8_t byte, uint32_t width, uint32_t* value);
    void EndLoader(uint64_t atNs);
    void StartErase(uint64_t atNs);
    void Chatter(uint32_t everyMs, uint64_t fromNs, uint64_t untilNs, const char* hides);
    void BeginChunk(uint32_t length);
    void ReceiveChunkByte(uint8_t byte);
    void EndChunk(uint16_t sentCrc, uint64_t atNs);
    void EndMarker(uint64_t atNs);
    bool StopsAnswering();
    void Answer(uint8_t answer, const char* hostWaitsFor, uint64_t atNs);
    uint8_t Noise(const char* hostWaitsFor) const;
    void Send(uint8_t byte, uint64_t atNs);

    ReceiverScenario scenario_;  // a copy: the per-chunk counts are used up
    const uint8_t* expectedLoader_;
    uint32_t loaderSize_;
    const uint8_t* expectedRom_;
    uint32_t romSize_;
    ReceiverSummary summary_;

    Phase phase_ = Phase::AWAIT_SWITCH;
    uint32_t speed_ = BOOT_BAUD;
    bool sawSpeedMessage_ = false;  // the last byte was 0x53
    uint32_t fieldBytes_ = 0;       // bytes of a length or CRC field so far
    uint32_t fieldValue_ = 0;
    uint32_t remaining_ = 0;      // data bytes left in the current frame or chunk
    uint64_t hostMayTalkNs_ = 0;  // when the answer the host waits for reaches it

    uint32_t loaderReceived_ = 0;
    bool loaderMatches_ = true;

    uint64_t listenFromNs_ = 0;  // bytes arriving earlier find the loader not listening
    uint64_t eraseDoneNs_ = 0;

    // Chatter while the host waits for one answer (the handshake or 'E'): a noise byte
    // every chatterEveryNs_, the next at nextChatterNs_, none from chatterEndNs_ on.
    const char* chatterHides_ = "";  // the answer that the noise must not look like
    uint64_t chatterEveryNs_ = 0;
    uint64_t nextChatterNs_ = NO_DEADLINE;
    uint64_t chatterEndNs_ = 0;

    uint32_t chunkLength_ = 0;
    uint32_t chunkReceived_ = 0;
    uint32_t flipAt_ = NEVER;  // byte of the current chunk that the line corrupts
    uint16_t chunkCrc_ = 0;
    bool romMatches_ = true;  // every accepted chunk so far equals the image at its offset

    bool loaderStarted_ = false;
    bool clockStarted_ = false;
    uint32_t lastNowMs_ = 0;
    uint64_t clockNs_ = 0;        // the model's own time line: never wraps
    uint64_t inLineFreeNs_ = 0;   // paced: when the host's last byte has fully arrived
    uint64_t outLineFreeNs_ = 0;  // paced: when the receiver's last byte has fully left

    Outgoing output_[OUTPUT_CAPACITY];
    uint32_t outputHead_ = 0;
    uint32_t outputCount_ = 0;

    uint8_t chunk_[CHUNK_BUFFER_BYTES];
    uint8_t rom_[ROM_CAPACITY];
};
