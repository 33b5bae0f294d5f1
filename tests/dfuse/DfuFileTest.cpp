#include <gtest/gtest.h>

#include <set>
#include <string>

#include "TempDfuFile.h"
#include "dfuse/StdfuFiles.h"
#include "sim/DfuFileWriter.h"

namespace {

using sim::buildDfuFile;

void setLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = uint8_t(value >> (8 * i));
}

// Stores a matching suffix CRC again after a test changed other bytes.
void resealCrc(std::vector<uint8_t>& bytes) {
    setLe32(bytes, bytes.size() - 4, sim::dfuFileCrc(bytes.data(), bytes.size() - 4));
}

// One unnamed target with one 8-byte element: prefix at 0, target at 11, element at 285.
const std::vector<uint8_t> kSmall = buildDfuFile(0x08000000, pattern(8, 1));

class DfuFileTest : public ::testing::Test {
  protected:
    uint32_t open(const std::vector<uint8_t>& bytes) {
        uint32_t file = 0;
        const uint32_t code = STDFUFILES_OpenExistingDFUFile(file_.write(bytes), &file, nullptr,
                                                             nullptr, nullptr, nullptr);
        if (code == kDfuSuccess)
            STDFUFILES_CloseDFUFile(&file);
        return code;
    }
    TempDfuFile file_;
};

TEST_F(DfuFileTest, ReadsTargetsAndElementsIntoImagesThatOutliveTheFile) {
    const std::vector<uint8_t> bytes = buildDfuFile(
        {{0, "Internal Flash", {{0x08000000, pattern(300, 1)}, {0x08020000, pattern(5, 9)}}},
         {1, "", {{0x1FFFC000, pattern(16, 3)}}}},
        {0x0483, 0xDF11, 0x2200});
    uint32_t file = 0;
    uint16_t vendor = 0, product = 0, device = 0;
    uint8_t targets = 0;
    ASSERT_EQ(STDFUFILES_OpenExistingDFUFile(file_.write(bytes), &file, &vendor, &product, &device,
                                             &targets),
              kDfuSuccess);
    EXPECT_EQ((std::vector<int>{vendor, product, device, targets}),
              (std::vector<int>{0x0483, 0xDF11, 0x2200, 2}));
    uint32_t image = 0, second = 0, none = 0;
    ASSERT_EQ(STDFUFILES_ReadImageFromDFUFile(file, 0, &image), kDfuSuccess);
    ASSERT_EQ(STDFUFILES_ReadImageFromDFUFile(file, 1, &second), kDfuSuccess);
    EXPECT_EQ(STDFUFILES_ReadImageFromDFUFile(file, 2, &none), kDfuErrorNoSuchImage);
    EXPECT_EQ(STDFUFILES_CloseDFUFile(&file), kDfuSuccess);

    uint8_t alternate = 0;
    EXPECT_EQ(STDFUFILES_GetImageAlternate(second, &alternate), kDfuSuccess);
    EXPECT_EQ(alternate, 1);
    uint32_t count = 0, address = 0, size = 0;
    ASSERT_EQ(STDFUFILES_GetImageNbElement(image, &count), kDfuSuccess);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(STDFUFILES_GetImageElement(image, 1, &address, &size), kDfuSuccess);
    EXPECT_EQ(address, 0x08020000u);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(STDFUFILES_GetImageElement(image, 2, &address, &size), kDfuErrorInvalidArgument);

    // A copy outlives its original, and a released handle stays released.
    uint32_t copy = 0, stale = image;
    ASSERT_EQ(STDFUFILES_DuplicateImage(image, &copy), kDfuSuccess);
    EXPECT_EQ(STDFUFILES_DestroyImage(&image), kDfuSuccess);
    EXPECT_EQ(STDFUFILES_DestroyImage(&stale), kDfuErrorBadHandle);
    EXPECT_EQ(STDFUFILES_GetImageNbElement(copy, &count), kDfuSuccess);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(STDFUFILES_DestroyImage(&copy), kDfuSuccess);
    EXPECT_EQ(STDFUFILES_DestroyImage(&second), kDfuSuccess);
    EXPECT_EQ(open(buildDfuFile({{0, "", {}}})), kDfuSuccess) << "a target without elements";
    EXPECT_EQ(STDFUFILES_OpenExistingDFUFile(::testing::TempDir().c_str(), &file, nullptr, nullptr,
                                             nullptr, nullptr),
              kDfuErrorFileOpen);
}

// No prefix of a file is taken for a whole one.
TEST_F(DfuFileTest, EveryTruncationIsRefused) {
    std::set<uint32_t> codes;
    for (size_t length = 0; length < kSmall.size(); ++length) {
        const uint32_t code = open(std::vector<uint8_t>(kSmall.begin(), kSmall.begin() + length));
        ASSERT_NE(code, kDfuSuccess) << "length " << length;
        codes.insert(code);
    }
    EXPECT_TRUE(codes.count(kDfuErrorFileTruncated));
}

TEST_F(DfuFileTest, EachCorruptFieldHasItsCodeAndTheSizeMayLeaveOutTheSuffix) {
    const size_t target = 11, element = target + 274, suffix = kSmall.size() - 16;
    const struct {
        const char* what;
        size_t at;
        std::vector<uint8_t> bytes;
        uint32_t expected;
    } cases[] = {
        {"signature", 0, {'d'}, kDfuErrorFilePrefix},
        {"image size without the suffix", 6, {0x2D, 0x01, 0, 0}, kDfuSuccess},
        {"image size", 6, {0x10, 0, 0, 0}, kDfuErrorFileSize},
        {"image size past end", 6, {0xFF, 0xFF, 0, 0}, kDfuErrorFileTruncated},
        {"target count", 10, {2}, kDfuErrorFileTarget},
        {"target signature", target, {'t'}, kDfuErrorFileTarget},
        {"target size too large", target + 266, {0xFF, 0xFF, 0, 0}, kDfuErrorFileTarget},
        {"target size too small", target + 266, {8, 0, 0, 0}, kDfuErrorFileElement},
        {"element count", target + 270, {2, 0, 0, 0}, kDfuErrorFileElement},
        {"huge element count", target + 270, {0xFF, 0xFF, 0xFF, 0xFF}, kDfuErrorFileElement},
        {"element size", element + 4, {0xFF, 0xFF, 0xFF, 0x7F}, kDfuErrorFileElement},
        {"element past 4 GiB", element, {0xFC, 0xFF, 0xFF, 0xFF}, kDfuErrorFileElement},
        {"element ending at 4 GiB", element, {0xF8, 0xFF, 0xFF, 0xFF}, kDfuSuccess},
        {"suffix signature", suffix + 8, {'X'}, kDfuErrorFileSuffix},
        {"bcdDFU", suffix + 6, {0x00, 0x01}, kDfuErrorFileSuffix},
        {"element data, CRC kept", element + 8, {0xA5}, kDfuErrorFileCrc},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bad = kSmall;
        std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + long(c.at));
        if (c.expected != kDfuErrorFileCrc)
            resealCrc(bad);
        EXPECT_EQ(open(bad), c.expected) << c.what;
    }
    // A byte after the last element: outside every target, or inside a target it does not fill.
    std::vector<uint8_t> trailing = kSmall;
    trailing.insert(trailing.end() - 16, 0);
    setLe32(trailing, 6, uint32_t(trailing.size()));
    resealCrc(trailing);
    EXPECT_EQ(open(trailing), kDfuErrorFileSize);
    setLe32(trailing, target + 266, 8 + 8 + 1);
    resealCrc(trailing);
    EXPECT_EQ(open(trailing), kDfuErrorFileElement);
}

}  // namespace
