// The run's check of the program's own payloads, before anything reaches a port. Each chunk's
// CRC is computed from the program's copy of the ROM, so a copy damaged after the build would
// be written into the receiver with checksums that all match: the damage must be found here.
// The build computed a CRC-32 of each payload as it embedded it (engine/payload_images.h);
// the run computes them again from the bytes it is about to send.
#pragma once

#include <stdint.h>

#include "engine/upgrade_context.h"

// CRC-32/ISO-HDLC, the CRC of zip and PNG (reflected polynomial 0x04C11DB7, initial value and
// final exclusive-or 0xFFFFFFFF), of length bytes at data. Its table is constant data: the
// computation allocates nothing and writes no memory but its own stack.
uint32_t ComputePayloadCrc(const uint8_t* data, uint32_t length);

// Reads both payloads whole and leaves through UpgradeError with "Error (damaged file):
// please copy it again" when either one's CRC differs from the one the build computed.
void CheckPayloads(UpgradeContext& context);
