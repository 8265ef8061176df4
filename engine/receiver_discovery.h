// Finding the receiver's serial port: the handheld's device manager lists every active
// driver instance under HKEY_LOCAL_MACHINE "Drivers\Active"; the sleeve's serial driver
// and a CompactFlash receiver of the same maker are told apart by their values.
#pragma once

#include <windows.h>

#include "engine/upgrade_context.h"

// Walks the driver instances in the registry's order and stops at the first that is the
// sleeve's serial driver ("Key" beginning "Drivers\OptPack\0100") or a CompactFlash
// receiver ("PnpId" beginning "TAVRIN"), testing the sleeve first within each instance.
// True when one was found: its "Name" is in nameBuffer, zero-terminated, and
// context.isCompactFlash tells which kind it is. False otherwise (isCompactFlash false,
// nameBuffer not to be used). Reads nameBufferBytes bytes at most; reads the registry
// only, and closes every key it opened exactly once.
bool FindReceiverPort(UpgradeContext& context, wchar_t* nameBuffer, DWORD nameBufferBytes);
