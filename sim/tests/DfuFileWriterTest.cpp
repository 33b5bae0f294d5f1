#include <gtest/gtest.h>
#include <zlib.h>

#include <stdexcept>

#include "sim/DfuFileWriter.h"

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

TEST(DfuFileWriter, RefusesOverlongTargetNames) {
    sim::DfuTarget target{0, std::string(255, 'x'), {}};
    EXPECT_THROW(sim::buildDfuFile({target}), std::invalid_argument);
}

}  // namespace
