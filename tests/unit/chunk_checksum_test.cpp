#include "engine/chunk_checksum.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct CheckValue {
    const char* text;
    uint16_t crc;
};

class ChunkChecksum : public ::testing::Test {
protected:
    void SetUp() override { BuildCrcTable(context); }
    UpgradeContext context{};
};

TEST_F(ChunkChecksum, PublishedCheckValues) {
    const CheckValue cases[] = {{"123456789", 0x6F91}, {"abc", 0x61DA}, {"", 0xFFFF}};
    for (const CheckValue& c : cases) {
        EXPECT_EQ(ComputeCrc(context, CRC_INITIAL, reinterpret_cast<const uint8_t*>(c.text),
                             static_cast<uint32_t>(strlen(c.text))),
                  c.crc)
            << '"' << c.text << '"';
    }
}

TEST_F(ChunkChecksum, TableEntries) {
    EXPECT_EQ(context.crcTable[0], 0x0000);
    EXPECT_EQ(context.crcTable[1], 0x1189);
    EXPECT_EQ(context.crcTable[128], 0x8408);
    EXPECT_EQ(context.crcTable[255], 0x0F78);
}

TEST_F(ChunkChecksum, PiecesContinueToTheCrcOfTheWhole) {
    uint8_t chunk[16384];
    for (size_t i = 0; i < sizeof chunk; ++i) {
        chunk[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    }
    const uint16_t whole = ComputeCrc(context, CRC_INITIAL, chunk, sizeof chunk);
    for (uint32_t split : {0u, 1u, 4095u, 8192u, 16383u, 16384u}) {
        uint16_t r = ComputeCrc(context, CRC_INITIAL, chunk, split);
        r = ComputeCrc(context, r, chunk + split, sizeof chunk - split);
        EXPECT_EQ(r, whole) << "split at " << split;
    }
}

TEST_F(ChunkChecksum, ZeroLengthReturnsTheInitialValue) {
    for (uint16_t initial : {0x0000, 0x1234, 0xFFFF}) {
        EXPECT_EQ(ComputeCrc(context, initial, nullptr, 0), initial);
    }
}

}  // namespace
