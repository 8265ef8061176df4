// How a simulated receiver behaves. The defaults are a good receiver that answers at once;
// each knob injects one delay or fault that a host has to live with.
//
// A chunk index is the chunk's place in the image (the count of chunks accepted before it),
// so a resent chunk keeps its index; the per-chunk knobs count that chunk's receptions.
#pragma once

#include <cstdint>

constexpr uint32_t NEVER = 0xFFFFFFFF;
constexpr uint32_t SCENARIO_CHUNKS = 64;  // chunk indices the per-chunk knobs can aim at
constexpr uint32_t MAX_NOISE_BYTES = 64;  // longest run of noise before one answer

struct ReceiverScenario {
    // Without a handshake the loader never starts: the receiver takes the loader and then
    // stays silent. With one, it sends 'Y' this long after the loader stream has ended.
    bool handshake = true;
    uint32_t handshakeDelayMs = 0;
    // One noise byte this often (0: none) from the end of the loader stream until the 'Y'
    // goes out, for ever without a handshake: a loader that chatters while it starts.
    uint32_t handshakeNoiseEveryMs = 0;

    // noiseCount bytes of noiseValue go out before every answer (the handshake, 'E', each
    // chunk's answer, the end marker's answer). A value that the host would take for the
    // answer it is waiting for goes out inverted, so noise never changes what is meant.
    uint32_t noiseCount = 0;  // cut to MAX_NOISE_BYTES
    uint8_t noiseValue = 0x00;

    // The erase after the host's go-ahead: how long it takes, whether 'E' ever comes, and
    // one noise byte this often while it lasts (0: none).
    uint32_t eraseMs = 0;
    bool silentErase = false;
    uint32_t eraseNoiseEveryMs = 0;

    // For chunk i: how many of its first receptions are answered 'N' whatever their CRC,
    // and how many of its first receptions arrive with one bit flipped on the line (their
    // CRC then fails).
    uint8_t nakTimes[SCENARIO_CHUNKS] = {};
    uint8_t flipTimes[SCENARIO_CHUNKS] = {};

    uint8_t endAnswer = 'Y';

    // Once this many chunks are accepted the receiver hangs and answers nothing more: 0
    // leaves the first chunk unanswered, the image's chunk count leaves the end marker
    // unanswered.
    uint32_t stopAfterChunks = NEVER;

    // Line pacing: every byte takes 10 bit times at its line speed, in both directions, so
    // an answer is not there before the request has crossed the wire, and answers come out
    // no faster than the line carries them.
    bool paced = false;
};
