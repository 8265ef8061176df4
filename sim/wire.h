// The serial line between host and receiver, as the model sees it: how long a byte takes
// to cross, and what a receiving UART makes of a byte framed at the other speed.
#pragma once

#include <cstdint>

constexpr uint32_t BOOT_BAUD = 38400;     // the receiver's boot code listens here
constexpr uint32_t LOADER_BAUD = 115200;  // after the speed switch

// Time of one 8N1 byte (start, 8 data, stop: 10 bit times) at baud bit/s, in nanoseconds.
uint64_t ByteTimeNs(uint32_t baud);

// The byte a UART reading at readBaud takes from a byte sent at sentBaud, for the link's
// two speeds (BOOT_BAUD and LOADER_BAUD). The results are never 'Y', 'N', 'E' or 0x53.
uint8_t GarbleByte(uint8_t byte, uint32_t sentBaud, uint32_t readBaud);
