// The checksum after each ROM chunk: CRC-16/MCRF4XX (reflected polynomial 0x8408,
// initial value 0xFFFF, no final exclusive-or), table-driven.
#pragma once

#include <stdint.h>

#include "engine/upgrade_context.h"

constexpr uint16_t CRC_INITIAL = 0xFFFF;

// Fills context.crcTable. Must run before the first ComputeCrc of a run.
void BuildCrcTable(UpgradeContext& context);

// CRC of length bytes at data, continuing from register value initial. A length of 0
// returns initial; computing a buffer in pieces, each continuing from the last result,
// gives the CRC of the whole.
uint16_t ComputeCrc(const UpgradeContext& context, uint16_t initial, const uint8_t* data,
                    uint32_t length);
