// The conversation with the receiver once the link runs at 115,200 bit/s: upload the
// loader, then handshake, erase, the ROM image in acknowledged CRC-checked chunks, and
// the end marker.
#pragma once

#include "engine/upgrade_context.h"

// Sends the loader as one length-framed stream. Reads nothing back.
void SendLoader(UpgradeContext& context);

// Programs the ROM image. True when the conversation ran to its end, or was cancelled
// along the way; false when the receiver never gave its handshake (nothing more was
// sent then). Other failures leave through UpgradeError.
bool ProgramRom(UpgradeContext& context);
