#include <algorithm>
#include <cstdio>
#include <string>

#include "DfuFileBytes.h"
#include "SimulatedLoader.h"
#include "dfuse/StdfuFiles.h"
#include "sim/DfuFileWriter.h"
#include "sim/SimulatedUnit.h"

namespace {

constexpr uint32_t kFlash = 0x08000000;

// Opens a test file, reads image 0, maps the device and fits a copy of the image to erasing:
// the preparation of a firmware update.
class OperationsTest : public LoaderTest {
  protected:
    void TearDown() override {
        for (uint32_t* image : {&image_, &eraseImage_}) {
            if (*image)
                STDFUFILES_DestroyImage(image);
        }
        if (mapping_)
            STDFUPRT_DestroyMapping(&mapping_);
        std::remove(path_.c_str());
        LoaderTest::TearDown();
    }

    void prepare(const std::vector<TestTarget>& targets) {
        writeFile(path_, dfuFileBytes(targets));
        uint32_t file = 0;
        ASSERT_EQ(STDFUFILES_OpenExistingDFUFile(path_.c_str(), &file, nullptr, nullptr, nullptr,
                                                 nullptr),
                  kDfuSuccess);
        ASSERT_EQ(STDFUFILES_ReadImageFromDFUFile(file, 0, &image_), kDfuSuccess);
        ASSERT_EQ(STDFUFILES_CloseDFUFile(&file), kDfuSuccess);
        uint32_t alternates = 0;
        ASSERT_EQ(STDFUPRT_CreateMappingFromDevice(kPath, &mapping_, &alternates), kDfuSuccess);
        ASSERT_EQ(STDFUFILES_DuplicateImage(image_, &eraseImage_), kDfuSuccess);
        ASSERT_EQ(STDFUFILES_FilterImageForOperation(eraseImage_, mapping_, kDfuOperationErase, 0),
                  kDfuSuccess);
    }

    // Erase then upgrade, both expected to succeed.
    void update() {
        const OperationRun erase = runOperation(kDfuOperationErase, eraseImage_);
        ASSERT_EQ(erase.error, kDfuSuccess) << dfuReturnCodeName(erase.error);
        const OperationRun upgrade = runOperation(kDfuOperationUpgrade, image_);
        ASSERT_EQ(upgrade.error, kDfuSuccess) << dfuReturnCodeName(upgrade.error);
        EXPECT_EQ(upgrade.stop, kDfuSuccess);
    }

    std::vector<std::pair<uint32_t, uint32_t>> elements(uint32_t image) {
        std::vector<std::pair<uint32_t, uint32_t>> result;
        uint32_t count = 0;
        EXPECT_EQ(STDFUFILES_GetImageNbElement(image, &count), kDfuSuccess);
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t address = 0, size = 0;
            EXPECT_EQ(STDFUFILES_GetImageElement(image, i, &address, &size), kDfuSuccess);
            result.emplace_back(address, size);
        }
        return result;
    }

    const std::string path_ =
        uniqueTempPath(::testing::UnitTest::GetInstance()->current_test_info()->name());
    uint32_t image_ = 0;
    uint32_t eraseImage_ = 0;
    DfuMapping mapping_ = nullptr;
};

TEST_F(OperationsTest, FilterKeepsTheSectorsTheDataTouches) {
    prepare({{0,
              "",
              {{kFlash + 0x4000 - 8, pattern(16, 1)},
               {kFlash + 0x20010, pattern(4, 2)},
               {kFlash + 10, pattern(1, 3)}}}});
    using Sectors = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(elements(eraseImage_),
              (Sectors{{kFlash, 0x4000}, {kFlash + 0x4000, 0x4000}, {kFlash + 0x20000, 0x20000}}));
    // The original keeps its data elements.
    EXPECT_EQ(elements(image_).size(), 3u);

    uint32_t outside = 0;
    ASSERT_EQ(STDFUFILES_DuplicateImage(image_, &outside), kDfuSuccess);
    STDFUFILES_DestroyImage(&image_);
    writeFile(path_, dfuFileBytes({{0, "", {{kFlash + 0x100000 - 2, pattern(4, 1)}}}}));
    uint32_t file = 0;
    ASSERT_EQ(
        STDFUFILES_OpenExistingDFUFile(path_.c_str(), &file, nullptr, nullptr, nullptr, nullptr),
        kDfuSuccess);
    ASSERT_EQ(STDFUFILES_ReadImageFromDFUFile(file, 0, &image_), kDfuSuccess);
    STDFUFILES_CloseDFUFile(&file);
    EXPECT_EQ(STDFUFILES_FilterImageForOperation(image_, mapping_, kDfuOperationErase, 0),
              kDfuErrorImageOutsideMemory);
    EXPECT_EQ(STDFUFILES_FilterImageForOperation(outside, mapping_, kDfuOperationUpgrade, 0),
              kDfuErrorInvalidArgument);
    STDFUFILES_DestroyImage(&outside);
}

TEST_F(OperationsTest, EraseAndUpgradeLeaveTheImageInFlash) {
    // Old firmware everywhere: the erase must clear what the image touches and nothing else.
    std::fill(hardware_->flash.begin(), hardware_->flash.end(), 0x5A);
    const std::vector<uint8_t> firmware = pattern(70000, 7);  // crosses into the 64 KiB sector
    const std::vector<uint8_t> tail = pattern(3000, 9);
    prepare({{0, "", {{kFlash, firmware}, {kFlash + 0x20000, tail}}}});

    const OperationRun erase = runOperation(kDfuOperationErase, eraseImage_);
    EXPECT_EQ(erase.error, kDfuSuccess) << dfuReturnCodeName(erase.error);
    EXPECT_TRUE(std::is_sorted(erase.percents.begin(), erase.percents.end()));
    EXPECT_EQ(erase.percents.back(), 100);
    EXPECT_GT(erase.percents.size(), 2u) << "progress is reported while erasing";
    EXPECT_EQ(*flashAt(kFlash + 0x30000), 0xFF) << "the 64 KiB sector is erased";
    EXPECT_EQ(*flashAt(kFlash + 0x40000), 0x5A) << "sectors outside the image are kept";

    const OperationRun upgrade = runOperation(kDfuOperationUpgrade, image_);
    EXPECT_EQ(upgrade.error, kDfuSuccess) << dfuReturnCodeName(upgrade.error);
    EXPECT_EQ(upgrade.stop, kDfuSuccess);
    EXPECT_TRUE(std::is_sorted(upgrade.percents.begin(), upgrade.percents.end()));
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), flashAt(kFlash)));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), flashAt(kFlash + 0x20000)));
    EXPECT_EQ(*flashAt(kFlash + 70000), 0xFF);
    EXPECT_EQ(*flashAt(kFlash + 0x40000), 0x5A);
}

TEST_F(OperationsTest, AnErrorStateAtStartIsCleared) {
    const std::vector<uint8_t> firmware = pattern(5000, 1);
    prepare({{0, "", {{kFlash, firmware}}}});
    sim::BootloaderFaults faults;
    faults.startInError = true;
    replaceLoader(faults);
    update();
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), flashAt(kFlash)));
}

TEST_F(OperationsTest, DeviceFailuresBecomeTheOperationErrorCode) {
    prepare({{0, "", {{kFlash, pattern(5000, 1)}}}});
    struct Case {
        const char* what;
        sim::BootloaderFaults faults;
        uint32_t operation;
        uint32_t expected;
    };
    sim::BootloaderFaults erase, write, protect, unplug;
    erase.eraseError = true;
    write.writeError = true;
    protect.readProtected = true;
    unplug.unplugAtRequest = 6;
    const Case cases[] = {
        {"erase error", erase, kDfuOperationErase, kDfuErrorDeviceErase},
        {"write error", write, kDfuOperationUpgrade, kDfuErrorDeviceWrite},
        {"read protection", protect, kDfuOperationErase, kDfuErrorReadProtected},
        {"unplugged", unplug, kDfuOperationUpgrade, kDfuErrorDeviceGone},
    };
    for (const Case& c : cases) {
        replaceLoader(c.faults);
        const OperationRun run =
            runOperation(c.operation, c.operation == kDfuOperationErase ? eraseImage_ : image_);
        EXPECT_EQ(run.launch, kDfuSuccess) << c.what;
        EXPECT_EQ(run.error, c.expected) << c.what << ": " << dfuReturnCodeName(run.error);
        EXPECT_FALSE(run.stopped) << c.what;
        EXPECT_LT(run.percents.back(), 100) << c.what;
    }
}

TEST_F(OperationsTest, WritingUnerasedFlashIsNeverASuccess) {
    std::fill(hardware_->flash.begin(), hardware_->flash.end(), 0x0F);
    prepare({{0, "", {{kFlash, pattern(4096, 3)}}}});
    // Read back by the host finds the AND of old and new content.
    const OperationRun readBack = runOperation(kDfuOperationUpgrade, image_);
    EXPECT_EQ(readBack.error, kDfuErrorVerifyMismatch);
    // A boot loader that checks its writes reports it itself.
    loader_->faults().verifyWrites = true;
    const OperationRun checked = runOperation(kDfuOperationUpgrade, image_);
    EXPECT_EQ(checked.error, kDfuErrorDeviceVerify);
}

TEST_F(OperationsTest, UpgradesWithoutReadBackWhenTheDeviceCannotUpload) {
    loader_->faults().noUpload = true;
    const std::vector<uint8_t> firmware = pattern(9000, 5);
    prepare({{0, "", {{kFlash, firmware}}}});
    update();
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), flashAt(kFlash)));
}

TEST_F(OperationsTest, StopEndsARunningOperation) {
    prepare({{0, "", {{kFlash, pattern(0x100000, 1)}}}});  // every sector: seconds of erasing
    DfuOperationContext context = makeContext(kDfuOperationErase, eraseImage_, kPath);
    uint32_t handle = 0;
    ASSERT_EQ(STDFUPRT_LaunchOperation(&context, &handle), kDfuSuccess);
    ASSERT_EQ(STDFUPRT_StopOperation(handle, &context), kDfuSuccess);
    EXPECT_EQ(uint32_t{context.errorCode}, uint32_t{kDfuErrorOperationStopped});
    EXPECT_LT(context.percent, 100);
    EXPECT_EQ(*flashAt(kFlash + 0xE0000), 0xFF);  // nothing was there to begin with
    EXPECT_EQ(STDFUPRT_GetOperationStatus(handle, &context), kDfuErrorBadHandle);
    EXPECT_EQ(STDFUPRT_StopOperation(handle, &context), kDfuErrorBadHandle);
}

TEST_F(OperationsTest, RefusesMalformedLaunches) {
    prepare({{0, "", {{kFlash, pattern(100, 1)}}}});
    uint32_t handle = 0;
    DfuOperationContext context = makeContext(kDfuOperationErase, eraseImage_, kPath);
    context.guid.data1 ^= 1;
    EXPECT_EQ(STDFUPRT_LaunchOperation(&context, &handle), kDfuErrorBadContext);
    context = makeContext(2, eraseImage_, kPath);
    EXPECT_EQ(STDFUPRT_LaunchOperation(&context, &handle), kDfuErrorBadOperation);
    context = makeContext(kDfuOperationErase, 12345, kPath);
    EXPECT_EQ(STDFUPRT_LaunchOperation(&context, &handle), kDfuErrorBadHandle);
    context = makeContext(kDfuOperationErase, eraseImage_, kPath);
    std::memset(context.devicePath, 'A', sizeof context.devicePath);
    EXPECT_EQ(STDFUPRT_LaunchOperation(&context, &handle), kDfuErrorBadContext);

    // Failures found once running are reported through the context.
    EXPECT_EQ(runOperation(kDfuOperationErase, eraseImage_, "USB-BUS1-PORT9-IF0").error,
              kDfuErrorDeviceNotFound);
    EXPECT_EQ(runOperation(kDfuOperationUpgrade, eraseImage_).error, kDfuErrorInvalidArgument);
}

TEST_F(OperationsTest, UpdateAndLeaveStartTheNewFirmware) {
    hardware_->makeUnit = sim::SimulatedUnit::factory({});
    const std::vector<uint8_t> firmware = sim::makeExampleFirmware("7.1.2");
    prepare({{0, "", {{kFlash, firmware}}}});
    update();

    uint32_t leaveImage = 0;
    ASSERT_EQ(STDFUFILES_CreateImageFromMapping(&leaveImage, mapping_), kDfuSuccess);
    const OperationRun leave = runOperation(kDfuOperationLeave, leaveImage);
    EXPECT_EQ(leave.error, kDfuSuccess) << dfuReturnCodeName(leave.error);
    EXPECT_EQ(leave.percents, std::vector<int>{100});
    EXPECT_FALSE(leave.stopped);
    EXPECT_EQ(loader_->addressPointer(), kFlash) << "the application starts at the flash base";

    platform::sleepMs(1000);
    auto unit =
        std::dynamic_pointer_cast<sim::SimulatedUnit>(sim::Bus::instance().deviceAt(1, {2}));
    ASSERT_NE(unit, nullptr) << "the unit came back in normal operation";
    EXPECT_EQ(hardware_->firmwareVersion(), "7.1.2");

    // With the boot loader gone, a second leave reports the missing device.
    const OperationRun again = runOperation(kDfuOperationLeave, leaveImage);
    EXPECT_EQ(again.launch, kDfuSuccess);
    EXPECT_EQ(again.error, kDfuErrorNotDfuInterface);
    STDFUFILES_DestroyImage(&leaveImage);
}

}  // namespace
