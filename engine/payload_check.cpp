#include "engine/payload_check.h"

#include "engine/payload_images.h"

namespace {

const wchar_t DAMAGED_FILE_MESSAGE[] = L"Error (damaged file): please copy it again";

constexpr uint32_t PAYLOAD_CRC_POLYNOMIAL = 0xEDB88320;  // 0x04C11DB7, bit-reversed
constexpr uint32_t PAYLOAD_CRC_INITIAL = 0xFFFFFFFF;     // also the final exclusive-or

struct PayloadCrcTable {
    uint32_t entries[256];
};

constexpr PayloadCrcTable MakePayloadCrcTable() {
    PayloadCrcTable table = {};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t v = i;
        for (int bit = 0; bit < 8; ++bit) {
            v = (v & 1) ? (v >> 1) ^ PAYLOAD_CRC_POLYNOMIAL : v >> 1;
        }
        table.entries[i] = v;
    }
    return table;
}

// Made by the compiler, so it lies in the program's constant data like the payloads.
constexpr PayloadCrcTable PAYLOAD_CRC_TABLE = MakePayloadCrcTable();

}  // namespace

uint32_t ComputePayloadCrc(const uint8_t* data, uint32_t length) {
    uint32_t r = PAYLOAD_CRC_INITIAL;
    for (uint32_t i = 0; i < length; ++i) {
        r = PAYLOAD_CRC_TABLE.entries[(data[i] ^ r) & 0xFF] ^ (r >> 8);
    }
    return r ^ PAYLOAD_CRC_INITIAL;
}

void CheckPayloads(UpgradeContext& context) {
    if (ComputePayloadCrc(LoaderImage, LOADER_IMAGE_SIZE) != LOADER_IMAGE_CRC ||
        ComputePayloadCrc(RomImage, ROM_IMAGE_SIZE) != ROM_IMAGE_CRC) {
        UpgradeError(context, DAMAGED_FILE_MESSAGE);
    }
}
