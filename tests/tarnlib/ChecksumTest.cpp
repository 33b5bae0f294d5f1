#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "Checksum.h"

namespace {

TEST(Checksum, WorkedValuesAndZeroExtendedTail) {
    std::array<uint32_t, 256> table{};
    ASSERT_TRUE(crc32InitTable(table.data(), 256));
    struct Case {
        std::string data;
        uint32_t crc;
    };
    for (const Case& c : {Case{"", 0xFFFFFFFF}, Case{"abc", 0xE1208697}, Case{"abcd", 0xA62F1C36},
                          Case{"123456789", 0xAFF19057}, Case{{"\0\0\xFF\xFF", 4}, 0xFF48647D},
                          Case{"a", 0x6F60065B}, Case{{"a\0\0\0", 4}, 0x6F60065B}}) {
        SCOPED_TRACE(c.data);
        const auto* bytes = reinterpret_cast<const uint8_t*>(c.data.data());
        const auto size = static_cast<unsigned>(c.data.size());
        EXPECT_EQ(crc32Frame(table.data(), bytes, size), c.crc);
        // Continuing over whole words gives the same result as one pass.
        if (size > 4) {
            EXPECT_EQ(
                crc32Update(table.data(), crc32Frame(table.data(), bytes, 4), bytes + 4, size - 4),
                c.crc);
        }
    }
}

}  // namespace
