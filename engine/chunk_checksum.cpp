#include "engine/chunk_checksum.h"

namespace {
constexpr uint16_t CRC_POLYNOMIAL = 0x8408;  // CCITT 0x1021, bit-reversed
}

void BuildCrcTable(UpgradeContext& context) {
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t v = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1) ? static_cast<uint16_t>((v >> 1) ^ CRC_POLYNOMIAL)
                        : static_cast<uint16_t>(v >> 1);
        }
        context.crcTable[i] = v;
    }
}

uint16_t ComputeCrc(const UpgradeContext& context, uint16_t initial, const uint8_t* data,
                    uint32_t length) {
    uint16_t r = initial;
    for (uint32_t i = 0; i < length; ++i) {
        r = static_cast<uint16_t>(context.crcTable[(data[i] ^ r) & 0xFF] ^ (r >> 8));
    }
    return r;
}
