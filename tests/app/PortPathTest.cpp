#include <gtest/gtest.h>

#include "Commands.h"

namespace {

using Path = std::vector<uint8_t>;

TEST(PortPath, DottedDecimal) {
    EXPECT_EQ(parsePortPath("4.2"), (Path{4, 2}));
    EXPECT_EQ(parsePortPath("4"), (Path{4}));
    EXPECT_EQ(parsePortPath("1.3.1"), (Path{1, 3, 1}));
}

TEST(PortPath, NumbersAreReadLikeStoi) {
    EXPECT_EQ(parsePortPath(" 4.2x"), (Path{4, 2}));
    EXPECT_EQ(parsePortPath("256.1"), (Path{0, 1}));
    EXPECT_EQ(parsePortPath("-1"), (Path{255}));
}

TEST(PortPath, BadTextsGiveNoFilter) {
    for (const char* text : {"", "4..2", ".4", "4.", "a.1", "99999999999"}) {
        EXPECT_TRUE(parsePortPath(text).empty()) << text;
    }
}

}  // namespace
