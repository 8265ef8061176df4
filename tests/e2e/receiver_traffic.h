// What the receiver takes in from the updater, byte for byte: the speed switch (two messages
// of two bytes), the loader in its length frame and the empty frame after it, the go-ahead
// after the handshake, each chunk as length, data and CRC, and the end marker. The image is
// 17 full chunks and a shorter last one.
#pragma once

#include <string>

constexpr long SPEED_SWITCH_BYTES = 4;
constexpr long LOADER_STREAM_BYTES = 4 + 1284 + 4;
constexpr long GO_AHEAD_BYTES = 1;
constexpr long CHUNK_DATA_BYTES = 16384;
constexpr long FULL_CHUNK_BYTES = 4 + CHUNK_DATA_BYTES + 2;
constexpr long LAST_CHUNK_BYTES = 4 + 15208 + 2;
constexpr long FULL_CHUNKS = 17;
constexpr long END_MARKER_BYTES = 4;

constexpr long BEFORE_CHUNKS_BYTES = SPEED_SWITCH_BYTES + LOADER_STREAM_BYTES + GO_AHEAD_BYTES;
constexpr long UPDATE_BYTES =
    BEFORE_CHUNKS_BYTES + FULL_CHUNKS * FULL_CHUNK_BYTES + LAST_CHUNK_BYTES + END_MARKER_BYTES;

// The image's offsets in the order the receiver is sent them; a chunk answered 'N' comes
// again at once.
inline std::string ChunkOffsets(long refusedChunk = -1) {
    std::string offsets;
    for (long chunk = 0; chunk <= FULL_CHUNKS; ++chunk) {
        for (int times = chunk == refusedChunk ? 2 : 1; times > 0; --times) {
            offsets += (offsets.empty() ? "" : " ") + std::to_string(chunk * CHUNK_DATA_BYTES);
        }
    }
    return offsets;
}

// The bar stands at the accepted share of the image in whole hundredths (of 293,736 bytes,
// 2,937 to the hundredth); this is how many chunks the receiver had accepted when the bar
// showed percent.
inline long ChunksAcceptedAt(int percent) {
    long chunks = 0;
    while ((chunks + 1) * CHUNK_DATA_BYTES / 2937 <= percent) {
        ++chunks;
    }
    return chunks;
}
