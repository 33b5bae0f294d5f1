#include <gtest/gtest.h>

#include <array>

#include "dfuse/MemoryLayout.h"

namespace {

using dfuse::MemoryLayout;
using dfuse::parseMemoryLayout;

// Address, sector count, sector size, access bits (1 readable, 2 erasable, 4 writable).
using Groups = std::vector<std::array<uint32_t, 4>>;

TEST(MemoryLayout, ParsesTheBootLoaderStringsAndSeveralRegions) {
    const struct {
        const char* text;
        const char* name;
        Groups groups;
    } cases[] = {
        {"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg",
         "Internal Flash",
         {{0x08000000, 4, 0x4000, 7}, {0x08010000, 1, 0x10000, 7}, {0x08020000, 7, 0x20000, 7}}},
        {"@Option Bytes  /0x1FFFC000/01*016 e", "Option Bytes", {{0x1FFFC000, 1, 16, 5}}},
        {"@OTP Memory /0x1FFF7800/01*512 e,01*016 e",
         "OTP Memory",
         {{0x1FFF7800, 1, 512, 5}, {0x1FFF7A00, 1, 16, 5}}},
        {"@Device Feature/0xFFFF0000/01*004 e", "Device Feature", {{0xFFFF0000, 1, 4, 5}}},
        {"@Mix/0x00000000/2*1Ma/0xffff0000/03*004Bb,1*2Kf  ",
         "Mix",
         {{0, 2, 0x100000, 1}, {0xFFFF0000, 3, 4, 2}, {0xFFFF000C, 1, 2048, 6}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<MemoryLayout> layout = parseMemoryLayout(c.text);
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->name, c.name);
        Groups groups;
        for (const dfuse::SectorGroup& g : layout->groups) {
            groups.push_back({g.address, g.count, g.size, g.access});
        }
        EXPECT_EQ(groups, c.groups);
    }
}

TEST(MemoryLayout, RefusesMalformedStrings) {
    const char* bad[] = {
        "",
        "@Flash",                                 // no address
        "@Flash/0x08000000/",                     // no sectors
        "@Flash/0x08000000/04*016Xg",             // bad unit
        "@Flash/0x08000000/00*016Kg",             // no sectors in group
        "@Flash/0xFFFF0000/02*064Kg",             // runs past 4 GiB
        "@F/0x08000000/4294967297*4294967295Bg",  // count * size wraps 64 bits
        "@F/0x00000000/4294967296*1Bg",           // a count that is 0 in 32 bits
        "@Flash/0x08000000/04*016Kg x",           // trailing junk
    };
    for (const char* text : bad) {
        EXPECT_FALSE(parseMemoryLayout(text)) << text;
    }
}

}  // namespace
