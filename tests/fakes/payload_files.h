// The payload files in res/, read as they are on disk: what the receiver must end up with
// is what is in the files, not what the program's arrays hold.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace fake {

// The data bytes of a whole chunk of the ROM image, as the receiver's loader takes them;
// the last chunk holds what is left.
constexpr uint32_t CHUNK_DATA_BYTES = 16384;

inline std::vector<uint8_t> ReadResource(const char* name) {
    const std::string path = std::string(VANDREL_RES_DIR) + "/" + name;
    std::vector<uint8_t> bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return bytes;
    }
    uint8_t buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    fclose(f);
    return bytes;
}

inline const std::vector<uint8_t>& LoaderFile() {
    static const std::vector<uint8_t> bytes = ReadResource("loader.bin");
    return bytes;
}

inline const std::vector<uint8_t>& RomFile() {
    static const std::vector<uint8_t> bytes = ReadResource("rom-2.3.7.bin");
    return bytes;
}

}  // namespace fake
