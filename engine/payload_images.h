// The two payloads the updater carries as constant data, built from res/loader.bin and
// res/rom-2.3.7.bin: the loader for the receiver's processor and the new ROM image.
// They lie one after the other, each on a 4-byte boundary, with 4 zero bytes after the
// loader. They are sent byte for byte and never modified.
//
// The build reads the two sizes below and refuses payload files of any other size. Beside
// the payloads it puts the CRC-32 that it computed of each as it embedded it, which a run
// checks them against before it sends anything (engine/payload_check.h).
#pragma once

#include <stdint.h>

constexpr uint32_t LOADER_IMAGE_SIZE = 1284;
constexpr uint32_t ROM_IMAGE_SIZE = 293736;
constexpr const wchar_t* ROM_VERSION = L"2.3.7";  // shown in the window heading

extern const unsigned char* const LoaderImage;
extern const unsigned char* const RomImage;
extern const uint32_t LOADER_IMAGE_CRC;
extern const uint32_t ROM_IMAGE_CRC;
