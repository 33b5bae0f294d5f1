#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "Checksum.h"

namespace {

std::array<uint32_t, 256> makeTable() {
    std::array<uint32_t, 256> table{};
    EXPECT_TRUE(crc32InitTable(table.data(), 256));
    return table;
}

uint32_t frameCrc(const std::vector<uint8_t>& data) {
    static const std::array<uint32_t, 256> table = makeTable();
    return crc32Frame(table.data(), data.data(), static_cast<unsigned>(data.size()));
}

std::vector<uint8_t> bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Bit-by-bit CRC-32/MPEG-2 of the data padded to whole words, each word's bytes reversed: the
// value the unit's word-wide hardware computes.
uint32_t referenceCrc(std::vector<uint8_t> data) {
    data.resize((data.size() + 3) / 4 * 4, 0);
    uint32_t crc = 0xFFFFFFFF;
    for (size_t word = 0; word < data.size(); word += 4) {
        for (int i = 3; i >= 0; --i) {
            crc ^= static_cast<uint32_t>(data[word + i]) << 24;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
            }
        }
    }
    return crc;
}

TEST(Checksum, TableIsTheNonReflectedOne) {
    const auto table = makeTable();
    EXPECT_EQ(table[0], 0u);
    EXPECT_EQ(table[1], 0x04C11DB7u);
    EXPECT_EQ(table[255], 0xB1F740B4u);
}

TEST(Checksum, TableRefusesShortOrMissingStorage) {
    std::array<uint32_t, 256> table;
    table.fill(0xA5A5A5A5);
    EXPECT_FALSE(crc32InitTable(table.data(), 255));
    EXPECT_FALSE(crc32InitTable(table.data(), -1));
    for (uint32_t entry : table) {
        ASSERT_EQ(entry, 0xA5A5A5A5u);
    }
    EXPECT_FALSE(crc32InitTable(nullptr, 256));
}

TEST(Checksum, WorkedValues) {
    EXPECT_EQ(frameCrc({}), 0xFFFFFFFFu);
    EXPECT_EQ(frameCrc(bytes("abc")), 0xE1208697u);
    EXPECT_EQ(frameCrc(bytes("abcd")), 0xA62F1C36u);
    EXPECT_EQ(frameCrc(bytes("123456789")), 0xAFF19057u);
    EXPECT_EQ(frameCrc({0x00, 0x00, 0xFF, 0xFF}), 0xFF48647Du);
}

TEST(Checksum, PartialWordIsZeroExtended) {
    EXPECT_EQ(frameCrc({0x61}), 0x6F60065Bu);
    EXPECT_EQ(frameCrc({0x61, 0x00, 0x00, 0x00}), 0x6F60065Bu);
    EXPECT_EQ(frameCrc({1, 2, 3, 4, 5, 6}), frameCrc({1, 2, 3, 4, 5, 6, 0, 0}));
}

TEST(Checksum, MatchesBitwiseReferenceForEveryTailLength) {
    std::mt19937 random(7);
    for (size_t length = 0; length < 70; ++length) {
        std::vector<uint8_t> data(length);
        for (uint8_t& byte : data) {
            byte = static_cast<uint8_t>(random());
        }
        ASSERT_EQ(frameCrc(data), referenceCrc(data)) << "length " << length;
    }
}

TEST(Checksum, UpdateContinuesOverWholeWords) {
    const auto table = makeTable();
    const std::vector<uint8_t> data = bytes("0123456789abcdefXYZ");
    const uint32_t first = crc32Frame(table.data(), data.data(), 8);
    EXPECT_EQ(crc32Update(table.data(), first, data.data() + 8, 11),
              crc32Frame(table.data(), data.data(), 19));
}

}  // namespace
