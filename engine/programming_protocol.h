// The conversation with the receiver once the link runs at 115,200 bit/s: upload the
// loader, then handshake, erase, the ROM image in acknowledged CRC-checked chunks, and
// the end marker.
#pragma once

#include <stdint.h>

#include "engine/upgrade_context.h"

constexpr uint32_t CHUNK_SIZE = 16384;  // largest chunk the loader takes

// The receiver runs no loader that speaks to us: its handshake never came.
constexpr const wchar_t* UPDATE_NOT_SUPPORTED_TEXT = L"GPS update not supported";

// Sends the loader as one length-framed stream. Reads nothing back.
void SendLoader(UpgradeContext& context);

// Programs the ROM image. True when the conversation ran to its end, or was cancelled
// along the way; false when the receiver never gave its handshake (nothing more was
// sent then). Other failures leave through UpgradeError.
bool ProgramRom(UpgradeContext& context);
