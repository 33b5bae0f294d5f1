#include <gtest/gtest.h>

#include <cstring>

#include "dfuse/DfuOperationContext.h"
#include "dfuse/MemoryLayout.h"

namespace {

using dfuse::MemoryLayout;
using dfuse::parseMemoryLayout;

TEST(MemoryLayout, ParsesTheBootLoaderStrings) {
    MemoryLayout flash;
    ASSERT_EQ(parseMemoryLayout("@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", &flash),
              kDfuSuccess);
    EXPECT_EQ(flash.name, "Internal Flash");
    ASSERT_EQ(flash.groups.size(), 3u);
    EXPECT_EQ(flash.groups[0].address, 0x08000000u);
    EXPECT_EQ(flash.groups[0].count, 4u);
    EXPECT_EQ(flash.groups[0].size, 16u * 1024);
    EXPECT_EQ(flash.groups[0].access, 7);
    EXPECT_EQ(flash.groups[1].address, 0x08010000u);
    EXPECT_EQ(flash.groups[2].address, 0x08020000u);
    EXPECT_EQ(flash.groups[2].size, 128u * 1024);

    MemoryLayout otp;
    ASSERT_EQ(parseMemoryLayout("@OTP Memory /0x1FFF7800/01*512 e,01*016 e", &otp), kDfuSuccess);
    ASSERT_EQ(otp.groups.size(), 2u);
    EXPECT_EQ(otp.groups[0].size, 512u);
    EXPECT_EQ(otp.groups[0].access, dfuse::kSectorReadable | dfuse::kSectorWritable);
    EXPECT_EQ(otp.groups[1].address, 0x1FFF7A00u);
    EXPECT_EQ(otp.groups[1].size, 16u);
}

TEST(MemoryLayout, ParsesSeveralRegionsUnitsAndPadding) {
    MemoryLayout layout;
    ASSERT_EQ(parseMemoryLayout("@Mix/0x00000000/2*1Ma/0xffff0000/03*004Bb,1*2Kf  ", &layout),
              kDfuSuccess);
    ASSERT_EQ(layout.groups.size(), 3u);
    EXPECT_EQ(layout.groups[0].size, 1024u * 1024);
    EXPECT_EQ(layout.groups[0].access, dfuse::kSectorReadable);
    EXPECT_EQ(layout.groups[1].address, 0xFFFF0000u);
    EXPECT_EQ(layout.groups[1].size, 4u);
    EXPECT_EQ(layout.groups[2].address, 0xFFFF000Cu);
    EXPECT_EQ(layout.groups[2].access, dfuse::kSectorErasable | dfuse::kSectorWritable);
}

TEST(MemoryLayout, RefusesMalformedStrings) {
    const char* bad[] = {
        "",
        "Internal Flash/0x08000000/04*016Kg",  // no "@"
        "@Flash",                              // no address
        "@Flash/08000000/04*016Kg",            // no "0x"
        "@Flash/0x/04*016Kg",                  // empty address
        "@Flash/0x123456789/04*016Kg",         // address too long
        "@Flash/0x08000000/",                  // no sectors
        "@Flash/0x08000000/04016Kg",           // no "*"
        "@Flash/0x08000000/04*016Xg",          // bad unit
        "@Flash/0x08000000/04*016Kh",          // bad type
        "@Flash/0x08000000/04*016K",           // no type
        "@Flash/0x08000000/00*016Kg",          // no sectors in group
        "@Flash/0x08000000/04*000Kg",          // empty sectors
        "@Flash/0x08000000/04*016Kg,",         // dangling comma
        "@Flash/0x08000000/04*016Kg/",         // dangling region
        "@Flash/0xFFFF0000/02*064Kg",          // runs past 4 GiB
        "@Flash/0x08000000/99999999999*1Kg",   // count too long
        "@Flash/0x08000000/04*016Kg x",        // trailing junk
    };
    for (const char* text : bad) {
        MemoryLayout layout;
        EXPECT_EQ(parseMemoryLayout(text, &layout), kDfuErrorBadMemoryLayout) << text;
    }
}

TEST(OperationContext, LayoutAndGuidBytes) {
    const uint8_t guidBytes[16] = {0xAB, 0x09, 0xE8, 0x3F, 0x91, 0xFB, 0xB5, 0x4C,
                                   0xA6, 0x43, 0x69, 0x67, 0x0D, 0x52, 0x36, 0x6E};
    EXPECT_EQ(std::memcmp(&kDfuInterfaceGuid, guidBytes, 16), 0);

    DfuOperationContext context{};
    context.guid = kDfuInterfaceGuid;
    context.operation = kDfuOperationUpgrade;
    context.image = 0x11223344;
    std::strcpy(context.devicePath, "USB-BUS1-PORT2-IF0");
    context.percent = 42;
    context.errorCode = kDfuSuccess;
    uint8_t bytes[sizeof context];
    std::memcpy(bytes, &context, sizeof context);
    EXPECT_EQ(sizeof bytes, 345u);
    EXPECT_EQ(std::memcmp(bytes, guidBytes, 16), 0);
    EXPECT_EQ(bytes[32], 4);
    EXPECT_EQ(bytes[40], 0x44);
    EXPECT_EQ(bytes[43], 0x11);
    EXPECT_EQ(bytes[44], 'U');
    EXPECT_EQ(bytes[308], 42);
    EXPECT_EQ(bytes[337], 0x00);
    EXPECT_EQ(bytes[339], 0x34);
    EXPECT_EQ(bytes[340], 0x12);
}

}  // namespace
