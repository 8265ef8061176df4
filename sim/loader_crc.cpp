#include "sim/loader_crc.h"

uint16_t LoaderCrcStep(uint16_t crc, uint8_t byte) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
        crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408)
                        : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}
