// The check the receiver's loader applies to each chunk: CRC-16/MCRF4XX (reflected
// polynomial 0x8408, register starts at 0xFFFF, no final exclusive-or), a bit at a time as
// a small loader would compute it while the bytes come in.
#pragma once

#include <cstdint>

constexpr uint16_t LOADER_CRC_START = 0xFFFF;

// The register after one more byte.
uint16_t LoaderCrcStep(uint16_t crc, uint8_t byte);
