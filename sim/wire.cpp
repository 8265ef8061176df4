#include "sim/wire.h"

namespace {
constexpr uint64_t BITS_PER_BYTE = 10;
constexpr uint64_t NS_PER_SECOND = 1000000000;
}  // namespace

uint64_t ByteTimeNs(uint32_t baud) {
    return BITS_PER_BYTE * NS_PER_SECOND / baud;
}

uint8_t GarbleByte(uint8_t byte, uint32_t sentBaud, uint32_t readBaud) {
    // The speeds differ by a factor of three, and the reader samples the middle of each of
    // its own bit times on an otherwise idle line.
    const bool d0 = byte & 0x01, d1 = byte & 0x02, d3 = byte & 0x08, d6 = byte & 0x40;
    if (sentBaud < readBaud) {
        // Each sent bit lasts three read bits: the start bit fills the reader's start, d0
        // and d1; sent d0 and d1 fill three read bits each; the reader's stop bit is sent d2.
        return static_cast<uint8_t>((d0 ? 0x1C : 0x00) | (d1 ? 0xE0 : 0x00));
    }
    // Each read bit spans three sent bits: the reader's first data bits land on sent d3
    // and d6, the rest on the idle line after the sent stop bit.
    return static_cast<uint8_t>(0xFC | (d6 ? 0x02 : 0x00) | (d3 ? 0x01 : 0x00));
}
