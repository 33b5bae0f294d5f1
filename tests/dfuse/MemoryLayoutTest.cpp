#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "dfuse/DfuOperationContext.h"
#include "dfuse/DfuReturnCodes.h"
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
        "@Flash",                             // no address
        "@Flash/08000000/04*016Kg",           // no "0x"
        "@Flash/0x123456789/04*016Kg",        // address too long
        "@Flash/0x08000000/",                 // no sectors
        "@Flash/0x08000000/04*016Xg",         // bad unit
        "@Flash/0x08000000/04*016K",          // no type
        "@Flash/0x08000000/00*016Kg",         // no sectors in group
        "@Flash/0x08000000/04*016Kg,",        // dangling comma
        "@Flash/0xFFFF0000/02*064Kg",         // runs past 4 GiB
        "@Flash/0x08000000/99999999999*1Kg",  // count too long
        "@Flash/0x08000000/04*016Kg x",       // trailing junk
    };
    for (const char* text : bad) {
        EXPECT_FALSE(parseMemoryLayout(text)) << text;
    }
}

// The context is shared with callers byte for byte: 345 packed bytes, little-endian integers.
TEST(OperationContext, LayoutAndGuidBytes) {
    const uint8_t guidBytes[16] = {0xAB, 0x09, 0xE8, 0x3F, 0x91, 0xFB, 0xB5, 0x4C,
                                   0xA6, 0x43, 0x69, 0x67, 0x0D, 0x52, 0x36, 0x6E};
    DfuOperationContext context{};
    context.guid = kDfuInterfaceGuid;
    context.operation = kDfuOperationUpgrade;
    context.image = 0x11223344;
    std::strcpy(context.devicePath, "USB-BUS1-PORT2-IF0");
    context.percent = 42;
    context.errorCode = kDfuErrorReadProtected;
    uint8_t bytes[345];
    ASSERT_EQ(sizeof context, sizeof bytes);
    std::memcpy(bytes, &context, sizeof bytes);
    EXPECT_EQ(std::memcmp(bytes, guidBytes, 16), 0);
    const std::pair<size_t, uint8_t> fields[] = {{32, 4},   {40, 0x44},  {43, 0x11},  {44, 'U'},
                                                 {308, 42}, {337, 0x20}, {339, 0x34}, {340, 0x12}};
    for (const auto& field : fields) {
        EXPECT_EQ(bytes[field.first], field.second) << "offset " << field.first;
    }
}

}  // namespace
