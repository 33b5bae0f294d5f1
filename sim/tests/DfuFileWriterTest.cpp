#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>

#include "sim/DfuFileWriter.h"
#include "sim/UnitHardware.h"

namespace {

uint32_t u32At(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

TEST(DfuFileWriter, CrcIsTheComplementOfZlibCrc32OverEverythingBeforeIt) {
    const std::vector<uint8_t> file =
        sim::buildDfuFile(0x08000000, sim::makeExampleFirmware("1.0"));
    const uint32_t zlibCrc = static_cast<uint32_t>(crc32(0L, file.data(), file.size() - 4));
    EXPECT_EQ(u32At(file, file.size() - 4), ~zlibCrc);
    // Any changed byte changes the CRC.
    std::vector<uint8_t> changed = file;
    changed[300] ^= 0x01;
    EXPECT_NE(sim::dfuFileCrc(changed.data(), changed.size() - 4),
              sim::dfuFileCrc(file.data(), file.size() - 4));
}

TEST(DfuFileWriter, LaysOutPrefixTargetsElementsAndSuffix) {
    sim::DfuTarget flash{0, "Internal Flash", {{0x08000000, {1, 2, 3}}, {0x08004000, {4, 5}}}};
    sim::DfuTarget options{1, "", {{0x1FFFC000, {0xAA}}}};
    const std::vector<uint8_t> file = sim::buildDfuFile({flash, options}, {0x1234, 0x5678, 0x0100});

    const size_t target1 = 11 + 274 + (8 + 3) + (8 + 2);
    ASSERT_EQ(file.size(), target1 + 274 + 8 + 1 + 16);
    EXPECT_EQ(0, std::memcmp(file.data(), "DfuSe\x01", 6));
    EXPECT_EQ(u32At(file, 6), file.size());
    EXPECT_EQ(file[10], 2);

    EXPECT_EQ(0, std::memcmp(&file[11], "Target", 6));
    EXPECT_EQ(file[17], 0);
    EXPECT_EQ(u32At(file, 18), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&file[22]), "Internal Flash");
    EXPECT_EQ(u32At(file, 277), 21u);  // both elements with their headers
    EXPECT_EQ(u32At(file, 281), 2u);
    EXPECT_EQ(u32At(file, 285), 0x08000000u);
    EXPECT_EQ(u32At(file, 289), 3u);
    EXPECT_EQ(file[293], 1);
    EXPECT_EQ(u32At(file, 296), 0x08004000u);

    EXPECT_EQ(file[target1 + 6], 1);
    EXPECT_EQ(u32At(file, target1 + 7), 0u);  // unnamed

    const size_t suffix = file.size() - 16;
    const uint8_t expected[] = {0x00, 0x01, 0x78, 0x56, 0x34, 0x12, 0x1A, 0x01, 'U', 'F', 'D', 16};
    EXPECT_EQ(0, std::memcmp(&file[suffix], expected, sizeof expected));
}

TEST(DfuFileWriter, RefusesOverlongTargetNames) {
    sim::DfuTarget target{0, std::string(255, 'x'), {}};
    EXPECT_THROW(sim::buildDfuFile({target}), std::invalid_argument);
}

TEST(DfuFileWriter, ExampleFirmwareNamesItsVersionAndDiffersPerVersion) {
    sim::UnitHardware hw;
    const std::vector<uint8_t> v1 = sim::makeExampleFirmware("1.4.0");
    const std::vector<uint8_t> v2 = sim::makeExampleFirmware("1.5.0-rc1");
    ASSERT_EQ(v1.size(), 48u * 1024);
    std::copy(v2.begin(), v2.end(), hw.flash.begin());
    EXPECT_EQ(hw.firmwareVersion(), "1.5.0-rc1");
    size_t differing = 0;
    for (size_t i = 0; i < v1.size(); ++i) {
        differing += v1[i] != v2[i];
    }
    EXPECT_GT(differing, v1.size() / 2);
    EXPECT_THROW(sim::makeExampleFirmware(""), std::invalid_argument);
    EXPECT_THROW(sim::makeExampleFirmware("1.0", 64), std::invalid_argument);
}

}  // namespace
