#include "engine/payload_images.h"

#include "engine/payload_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tests/fakes/payload_files.h"

namespace {

TEST(PayloadImages, ArraysHoldTheFilesBytes) {
    const std::vector<uint8_t>& loader = fake::LoaderFile();
    const std::vector<uint8_t>& rom = fake::RomFile();
    ASSERT_EQ(loader.size(), LOADER_IMAGE_SIZE);
    ASSERT_EQ(rom.size(), ROM_IMAGE_SIZE);
    EXPECT_EQ(memcmp(LoaderImage, loader.data(), loader.size()), 0);
    EXPECT_EQ(memcmp(RomImage, rom.data(), rom.size()), 0);
}

TEST(PayloadImages, LaidOutOneAfterTheOtherOnFourByteBoundaries) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(LoaderImage) % 4, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(RomImage) % 4, 0u);
    ASSERT_EQ(RomImage, LoaderImage + LOADER_IMAGE_SIZE + 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(LoaderImage[LOADER_IMAGE_SIZE + i], 0) << "alignment byte " << i;
    }
}

TEST(PayloadImages, ShapedLikeFirmware) {
    // Both begin with a vector table of "LDR PC, [PC, #0x18]" words.
    const unsigned char vector[] = {0x18, 0xF0, 0x9F, 0xE5};
    EXPECT_EQ(memcmp(LoaderImage, vector, 4), 0);
    EXPECT_EQ(memcmp(RomImage, vector, 4), 0);
    // The loader ends with a printable banner.
    const char* banner = reinterpret_cast<const char*>(LoaderImage + LOADER_IMAGE_SIZE - 23);
    EXPECT_STREQ(banner, "Tavrin Kivo loader 1.0");
    // The ROM carries its version, every byte value, and plenty of the bytes a careless
    // serial link swallows (NUL) or takes for flow control (XON 0x11, XOFF 0x13).
    const std::string rom(reinterpret_cast<const char*>(RomImage), ROM_IMAGE_SIZE);
    EXPECT_NE(rom.find("2.3.7"), std::string::npos);
    size_t counts[256] = {};
    for (unsigned char b : rom) {
        ++counts[b];
    }
    for (int value = 0; value < 256; ++value) {
        EXPECT_GT(counts[value], 0u) << "byte " << value;
    }
    for (int value : {0x00, 0x11, 0x13}) {
        EXPECT_GT(counts[value], 1000u) << "byte " << value;
    }
}

TEST(PayloadCheck, PublishedCheckValues) {
    const struct {
        const char* text;
        uint32_t crc;
    } cases[] = {{"123456789", 0xCBF43926}, {"a", 0xE8B7BE43}, {"", 0x00000000}};
    for (const auto& c : cases) {
        EXPECT_EQ(ComputePayloadCrc(reinterpret_cast<const uint8_t*>(c.text),
                                    static_cast<uint32_t>(strlen(c.text))),
                  c.crc)
            << '"' << c.text << '"';
    }
}

// The values the build put beside the payloads are those of the files in res/, so that an
// intact program passes its own check.
TEST(PayloadCheck, BuildsCrcsAreThoseOfThePayloadFiles) {
    const std::vector<uint8_t>& loader = fake::LoaderFile();
    const std::vector<uint8_t>& rom = fake::RomFile();
    EXPECT_EQ(LOADER_IMAGE_CRC,
              ComputePayloadCrc(loader.data(), static_cast<uint32_t>(loader.size())));
    EXPECT_EQ(ROM_IMAGE_CRC, ComputePayloadCrc(rom.data(), static_cast<uint32_t>(rom.size())));
}

}  // namespace
