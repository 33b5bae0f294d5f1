#include <gtest/gtest.h>

#include "PortPath.h"

namespace {

// Dotted decimal, each number read the way std::stoi reads it and kept in a byte; a text that
// cannot be read gives no filter.
TEST(PortPath, Parsing) {
    const std::pair<const char*, std::vector<uint8_t>> cases[] = {
        {"4.2", {4, 2}},   {"4", {4}},        {"1.3.1", {1, 3, 1}},
        {" 4.2x", {4, 2}}, {"256.1", {0, 1}}, {"-1", {255}},
        {"", {}},          {"4..2", {}},      {".4", {}},
        {"4.", {}},        {"a.1", {}},       {"99999999999", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parsePortPath(c.first), c.second) << '"' << c.first << '"';
}

}  // namespace
