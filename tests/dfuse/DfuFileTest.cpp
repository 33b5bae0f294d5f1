#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "DfuFileBytes.h"
#include "dfuse/StdfuFiles.h"

namespace {

class DfuFileTest : public ::testing::Test {
  protected:
    void TearDown() override { std::remove(path_.c_str()); }

    uint32_t open(const std::vector<uint8_t>& bytes, uint32_t* file = nullptr) {
        writeFile(path_, bytes);
        uint32_t handle = 0;
        const uint32_t code = STDFUFILES_OpenExistingDFUFile(path_.c_str(), &handle, nullptr,
                                                             nullptr, nullptr, nullptr);
        if (file)
            *file = handle;
        else if (code == kDfuSuccess)
            STDFUFILES_CloseDFUFile(&handle);
        return code;
    }

    std::vector<uint8_t> twoTargets() {
        return dfuFileBytes(
            {{0, "Internal Flash", {{0x08000000, pattern(300, 1)}, {0x08020000, pattern(5, 9)}}},
             {1, "", {{0x1FFFC000, pattern(16, 3)}}}});
    }

    const std::string path_ =
        uniqueTempPath(::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(DfuFileTest, ReadsTargetsElementsAndSuffix) {
    writeFile(path_, twoTargets());
    uint32_t file = 0;
    uint16_t vendor = 0, product = 0, device = 0;
    uint8_t targets = 0;
    ASSERT_EQ(
        STDFUFILES_OpenExistingDFUFile(path_.c_str(), &file, &vendor, &product, &device, &targets),
        kDfuSuccess);
    EXPECT_EQ(vendor, 0x0483);
    EXPECT_EQ(product, 0xDF11);
    EXPECT_EQ(device, 0x2200);
    EXPECT_EQ(targets, 2);

    uint32_t image = 0;
    ASSERT_EQ(STDFUFILES_ReadImageFromDFUFile(file, 0, &image), kDfuSuccess);
    uint32_t count = 0, address = 0, size = 0;
    uint8_t alternate = 9;
    EXPECT_EQ(STDFUFILES_GetImageAlternate(image, &alternate), kDfuSuccess);
    EXPECT_EQ(alternate, 0);
    ASSERT_EQ(STDFUFILES_GetImageNbElement(image, &count), kDfuSuccess);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(STDFUFILES_GetImageElement(image, 1, &address, &size), kDfuSuccess);
    EXPECT_EQ(address, 0x08020000u);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(STDFUFILES_GetImageElement(image, 2, &address, &size), kDfuErrorInvalidArgument);

    uint32_t second = 0;
    ASSERT_EQ(STDFUFILES_ReadImageFromDFUFile(file, 1, &second), kDfuSuccess);
    EXPECT_EQ(STDFUFILES_GetImageAlternate(second, &alternate), kDfuSuccess);
    EXPECT_EQ(alternate, 1);
    uint32_t none = 0;
    EXPECT_EQ(STDFUFILES_ReadImageFromDFUFile(file, 2, &none), kDfuErrorNoSuchImage);
    EXPECT_EQ(STDFUFILES_ReadImageFromDFUFile(file, -1, &none), kDfuErrorNoSuchImage);

    // Images outlive the file handle they came from.
    EXPECT_EQ(STDFUFILES_CloseDFUFile(&file), kDfuSuccess);
    EXPECT_EQ(file, 0u);
    EXPECT_EQ(STDFUFILES_GetImageNbElement(image, &count), kDfuSuccess);
    EXPECT_EQ(STDFUFILES_DestroyImage(&image), kDfuSuccess);
    EXPECT_EQ(image, 0u);
    EXPECT_EQ(STDFUFILES_DestroyImage(&second), kDfuSuccess);
}

TEST_F(DfuFileTest, HandlesAreCheckedAndReleasedOnce) {
    uint32_t file = 0;
    ASSERT_EQ(open(twoTargets(), &file), kDfuSuccess);
    uint32_t image = 0, copy = 0;
    ASSERT_EQ(STDFUFILES_ReadImageFromDFUFile(file, 0, &image), kDfuSuccess);
    ASSERT_EQ(STDFUFILES_DuplicateImage(image, &copy), kDfuSuccess);
    EXPECT_NE(copy, image);
    ASSERT_EQ(STDFUFILES_DestroyImage(&image), kDfuSuccess);
    uint32_t count = 0;
    EXPECT_EQ(STDFUFILES_GetImageNbElement(copy, &count), kDfuSuccess);
    EXPECT_EQ(count, 2u);

    uint32_t stale = copy;
    EXPECT_EQ(STDFUFILES_DestroyImage(&copy), kDfuSuccess);
    EXPECT_EQ(STDFUFILES_DestroyImage(&stale), kDfuErrorBadHandle);
    // A file handle is no image handle and the other way round.
    EXPECT_EQ(STDFUFILES_DuplicateImage(file, &copy), kDfuErrorBadHandle);
    uint32_t fileAsImage = file;
    EXPECT_EQ(STDFUFILES_DestroyImage(&fileAsImage), kDfuErrorBadHandle);
    EXPECT_EQ(STDFUFILES_CloseDFUFile(&file), kDfuSuccess);
    EXPECT_EQ(STDFUFILES_ReadImageFromDFUFile(file, 0, &image), kDfuErrorBadHandle);
    EXPECT_EQ(STDFUFILES_CloseDFUFile(&file), kDfuErrorBadHandle);
}

TEST_F(DfuFileTest, AcceptsSizeWithoutSuffixAndEmptyTarget) {
    EXPECT_EQ(open(dfuFileBytes({{0, "", {{0x08000000, pattern(10, 0)}}}}, false)), kDfuSuccess);
    EXPECT_EQ(open(dfuFileBytes({{0, "", {}}})), kDfuSuccess);
}

TEST_F(DfuFileTest, RefusesMissingFilesAndDirectories) {
    uint32_t file = 0;
    const std::string missing = ::testing::TempDir() + "no-such-file.dfu";
    EXPECT_EQ(
        STDFUFILES_OpenExistingDFUFile(missing.c_str(), &file, nullptr, nullptr, nullptr, nullptr),
        kDfuErrorFileOpen);
    EXPECT_EQ(STDFUFILES_OpenExistingDFUFile(::testing::TempDir().c_str(), &file, nullptr, nullptr,
                                             nullptr, nullptr),
              kDfuErrorFileOpen);
    EXPECT_EQ(STDFUFILES_OpenExistingDFUFile(nullptr, &file, nullptr, nullptr, nullptr, nullptr),
              kDfuErrorInvalidArgument);
    EXPECT_EQ(file, 0u);
}

TEST_F(DfuFileTest, EveryTruncationIsRefused) {
    const std::vector<uint8_t> good = dfuFileBytes({{0, "", {{0x08000000, pattern(8, 1)}}}});
    std::set<uint32_t> codes;
    for (size_t length = 0; length < good.size(); ++length) {
        const uint32_t code = open(std::vector<uint8_t>(good.begin(), good.begin() + length));
        ASSERT_NE(code, kDfuSuccess) << "length " << length;
        codes.insert(code);
    }
    EXPECT_TRUE(codes.count(kDfuErrorFileTruncated));
}

TEST_F(DfuFileTest, EveryFlippedByteIsRefused) {
    const std::vector<uint8_t> good = dfuFileBytes({{0, "", {{0x08000000, pattern(8, 1)}}}});
    for (size_t i = 0; i < good.size(); ++i) {
        std::vector<uint8_t> bad = good;
        bad[i] ^= 0x5A;
        ASSERT_NE(open(bad), kDfuSuccess) << "byte " << i;
    }
    std::vector<uint8_t> bad = good;
    bad[11 + 274 + 8] ^= 1;  // element data
    EXPECT_EQ(open(bad), kDfuErrorFileCrc);
}

TEST_F(DfuFileTest, EachCorruptFieldHasItsCode) {
    const std::vector<uint8_t> good = dfuFileBytes({{0, "", {{0x08000000, pattern(64, 2)}}}});
    const size_t target = 11, element = target + 274, suffix = good.size() - 16;
    struct Case {
        const char* what;
        size_t at;
        std::vector<uint8_t> bytes;
        uint32_t expected;
    };
    const Case cases[] = {
        {"signature", 0, {'d'}, kDfuErrorFilePrefix},
        {"version", 5, {0x02}, kDfuErrorFilePrefix},
        {"image size", 6, {0x10, 0, 0, 0}, kDfuErrorFileSize},
        {"image size past end", 6, {0xFF, 0xFF, 0, 0}, kDfuErrorFileTruncated},
        {"target count", 10, {2}, kDfuErrorFileTarget},
        {"target signature", target, {'t'}, kDfuErrorFileTarget},
        {"target size too large", target + 266, {0xFF, 0xFF, 0, 0}, kDfuErrorFileTarget},
        {"target size too small", target + 266, {8, 0, 0, 0}, kDfuErrorFileElement},
        {"element count", target + 270, {2, 0, 0, 0}, kDfuErrorFileElement},
        {"huge element count", target + 270, {0xFF, 0xFF, 0xFF, 0xFF}, kDfuErrorFileElement},
        {"element size", element + 4, {0xFF, 0xFF, 0xFF, 0x7F}, kDfuErrorFileElement},
        {"element past 4 GiB", element, {0xF0, 0xFF, 0xFF, 0xFF}, kDfuErrorFileElement},
        {"suffix signature", suffix + 8, {'X'}, kDfuErrorFileSuffix},
        {"suffix length", suffix + 11, {15}, kDfuErrorFileSuffix},
        {"bcdDFU", suffix + 6, {0x00, 0x01}, kDfuErrorFileSuffix},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = good;
        std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + long(c.at));
        resealCrc(bad);
        EXPECT_EQ(open(bad), c.expected) << c.what;
    }
    std::vector<uint8_t> trailing = good;
    trailing.insert(trailing.end() - 16, 0);
    setLe32(trailing, 6, uint32_t(trailing.size()));
    resealCrc(trailing);
    EXPECT_EQ(open(trailing), kDfuErrorFileSize);
}

TEST(DfuReturnCodes, NamesAreUniqueAndUnknownCodesAreNamed) {
    std::set<uint32_t> codes;
    std::set<std::string> names;
    for (const DfuReturnCodeName& entry : kDfuReturnCodeNames) {
        EXPECT_TRUE(codes.insert(entry.code).second) << entry.name;
        EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
        EXPECT_STREQ(dfuReturnCodeName(entry.code), entry.name);
    }
    EXPECT_STREQ(dfuReturnCodeName(kDfuSuccess), "success");
    EXPECT_STREQ(dfuReturnCodeName(0xDEADBEEF), "unknown code");
}

}  // namespace
