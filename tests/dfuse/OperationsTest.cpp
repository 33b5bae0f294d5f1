#include <algorithm>
#include <cstring>
#include <string>

#include "PreparedUpdate.h"
#include "dfuse/Stdfu.h"
#include "dfuse/StdfuFiles.h"
#include "dfuse/StdfuPrt.h"
#include "platform/Platform.h"
#include "sim/DfuFileWriter.h"
#include "sim/DfuTiming.h"
#include "sim/SimulatedUnit.h"

namespace {

constexpr uint32_t kFlash = 0x08000000;

DfuOperationContext makeContext(uint32_t operation, uint32_t image, const char* path) {
    DfuOperationContext context{};
    context.guid = kDfuInterfaceGuid;
    context.operation = operation;
    context.image = image;
    std::strncpy(context.devicePath, path, sizeof context.devicePath - 1);
    return context;
}

// One operation run the way the DFU runner drives it: launch, poll every 100 ms until the
// operation reports an error or 100 %, then stop it (a leave has nothing to stop). A launch
// or stop that fails gives its code as the error.
struct OperationRun {
    uint32_t error = kDfuSuccess;
    std::string detail;  // why it failed, as the status query left it
    std::vector<int> percents;
    int lastPercent() const { return percents.empty() ? -1 : percents.back(); }
};

OperationRun runOperation(uint32_t operation, uint32_t image,
                          const char* path = "USB-BUS1-PORT2-IF0") {
    OperationRun run;
    DfuOperationContext context = makeContext(operation, image, path);
    uint32_t handle = 0;
    run.error = STDFUPRT_LaunchOperation(&context, &handle);
    if (run.error != kDfuSuccess) {
        return run;
    }
    // Bounded: a hung operation fails the test instead of hanging it.
    for (int poll = 0; poll < 20000; ++poll) {
        EXPECT_EQ(STDFUPRT_GetOperationStatus(handle, &context), kDfuSuccess);
        run.percents.push_back(context.percent);
        if (context.errorCode != kDfuSuccess || operation == kDfuOperationLeave) {
            run.error = context.errorCode;
            run.detail = STDFU_GetLastErrorDetail();
            // The query that read a leave's outcome freed its handle.
            EXPECT_EQ(STDFUPRT_GetOperationStatus(handle, &context) == kDfuErrorBadHandle,
                      operation == kDfuOperationLeave);
            return run;
        }
        if (context.percent >= 100) {
            break;
        }
        platform::sleepMs(100);
    }
    const uint32_t stop = STDFUPRT_StopOperation(handle, &context);
    run.error = stop != kDfuSuccess ? stop : uint32_t{context.errorCode};
    return run;
}

class OperationsTest : public PreparedUpdate {
  protected:
    bool flashHolds(uint32_t address, const std::vector<uint8_t>& data) {
        return std::equal(data.begin(), data.end(),
                          hardware_->flash.begin() + (address - sim::UnitHardware::kFlashBase));
    }
};

// A whole update: only the sectors the image touches are erased, the image lands bit-exact, and
// leaving starts it, with the datasheet's longest erase and programming times. The chip reads a
// block's address with the block's own length, so a short last block lands right only when it
// is sent as block 2 behind its own address.
TEST_F(OperationsTest, EraseUpgradeAndLeaveStartTheNewFirmware) {
    hardware_->makeUnit = sim::SimulatedUnit::factory({});
    loader_->timing().blockAddressFromLength = true;
    loader_->timing().worstCase = true;
    std::fill(hardware_->flash.begin(), hardware_->flash.end(), 0x5A);  // old firmware everywhere
    const std::vector<uint8_t> firmware = sim::makeExampleFirmware("7.1.2", 70000);  // 5 sectors
    const std::vector<uint8_t> tail = pattern(3000, 9);
    prepare({{kFlash, firmware}, {kFlash + 0x20000, tail}});

    const OperationRun erase = runOperation(kDfuOperationErase, eraseImage_);
    EXPECT_EQ(erase.error, kDfuSuccess) << dfuReturnCodeName(erase.error);
    EXPECT_TRUE(std::is_sorted(erase.percents.begin(), erase.percents.end()));
    EXPECT_EQ(erase.lastPercent(), 100);
    EXPECT_GT(erase.percents.size(), 2u) << "progress is reported while erasing";
    EXPECT_TRUE(flashHolds(kFlash, std::vector<uint8_t>(0x40000, 0xFF)));
    EXPECT_TRUE(flashHolds(kFlash + 0x40000, {0x5A})) << "sectors outside the image are kept";

    const OperationRun upgrade = runOperation(kDfuOperationUpgrade, image_);
    EXPECT_EQ(upgrade.error, kDfuSuccess) << dfuReturnCodeName(upgrade.error);
    EXPECT_TRUE(std::is_sorted(upgrade.percents.begin(), upgrade.percents.end()));
    EXPECT_TRUE(flashHolds(kFlash, firmware));
    EXPECT_TRUE(flashHolds(kFlash + 70000, {0xFF}));
    EXPECT_TRUE(flashHolds(kFlash + 0x20000, tail));
    EXPECT_TRUE(flashHolds(kFlash + 0x40000, {0x5A}));

    uint32_t leaveImage = 0;
    ASSERT_EQ(STDFUFILES_CreateImageFromMapping(&leaveImage, mapping_), kDfuSuccess);
    const OperationRun leave = runOperation(kDfuOperationLeave, leaveImage);
    EXPECT_EQ(leave.error, kDfuSuccess) << dfuReturnCodeName(leave.error);
    EXPECT_EQ(leave.percents, std::vector<int>{100});
    EXPECT_EQ(loader_->addressPointer(), kFlash) << "the application starts at the flash base";
    platform::sleepMs(1000);
    EXPECT_NE(std::dynamic_pointer_cast<sim::SimulatedUnit>(sim::Bus::instance().deviceAt(1, {2})),
              nullptr)
        << "the unit came back in normal operation";
    EXPECT_EQ(hardware_->firmwareVersion(), "7.1.2");
    // With the boot loader gone, a second leave reports the missing device.
    EXPECT_EQ(runOperation(kDfuOperationLeave, leaveImage).error, kDfuErrorNotDfuInterface);
    STDFUFILES_DestroyImage(&leaveImage);
}

// Writing to unerased flash is never a success, whether the host reads the block back or the
// boot loader checks it. A boot loader in its error state is cleared first, and without upload
// the data is written unchecked. The other device failures are in the command line's table.
TEST_F(OperationsTest, DeviceFailuresBecomeTheOperationErrorCode) {
    const std::vector<uint8_t> firmware = pattern(5000, 1);
    prepare({{kFlash, firmware}});
    sim::BootloaderFaults none, erase, verify, inErrorNoUpload;
    erase.eraseError = true;
    verify.verifyWrites = true;
    inErrorNoUpload.startInError = true;
    inErrorNoUpload.noUpload = true;
    const struct {
        const char* what;
        sim::BootloaderFaults faults;
        uint32_t operation;
        uint8_t flash;
        uint32_t expected;
        const char* detail;  // the end of the failure's text
    } cases[] = {
        {"erase error", erase, kDfuOperationErase, 0xFF, kDfuErrorDeviceErase,
         "erase of sector at 0x08000000 failed: device reports dfuERROR / errERASE"},
        {"unerased, read back", none, kDfuOperationUpgrade, 0x0F, kDfuErrorVerifyMismatch,
         "reading back: flash at 0x08000003 holds 0x06 where the image has 0x16 (was that "
         "sector erased?)"},
        {"unerased, checked", verify, kDfuOperationUpgrade, 0x0F, kDfuErrorDeviceVerify,
         "write of 2048 bytes at 0x08000000 failed: device reports dfuERROR / errVERIFY"},
        {"in error, no upload", inErrorNoUpload, kDfuOperationUpgrade, 0xFF, kDfuSuccess, ""},
        {"compare, no upload", inErrorNoUpload, kDfuOperationCompare, 0xFF, kDfuErrorNoUpload,
         "the device does not offer upload, so its memory cannot be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::fill(hardware_->flash.begin(), hardware_->flash.end(), c.flash);
        replaceLoader(c.faults);
        const OperationRun run =
            runOperation(c.operation, c.operation == kDfuOperationErase ? eraseImage_ : image_);
        EXPECT_EQ(run.error, c.expected) << dfuReturnCodeName(run.error);
        EXPECT_TRUE(run.detail.size() >= std::strlen(c.detail) &&
                    run.detail.compare(run.detail.size() - std::strlen(c.detail), std::string::npos,
                                       c.detail) == 0)
            << run.detail;
        EXPECT_EQ(run.lastPercent() == 100, c.expected == kDfuSuccess);
        EXPECT_EQ(flashHolds(kFlash, firmware), c.expected == kDfuSuccess);
        // A failure leaves the device ready for the next run, not in dfuERROR or mid-transfer.
        EXPECT_EQ(loader_->state(), sim::DfuState::dfuIdle) << sim::dfuStateName(loader_->state());
    }
}

// A compare keeps the sectors that differ from what an update leaves (the image's data, 0xFF
// elsewhere), reading each up to its first differing block; the update with its image then
// sends and reads back only the blocks that are not all 0xFF, and ends as the whole image would.
TEST_F(OperationsTest, ACompareKeepsOnlyTheSectorsThatDiffer) {
    std::vector<uint8_t> image = pattern(0x14000, 3);  // 16 KiB sectors 0 to 3, 16 KiB of sector 4
    std::fill(image.begin() + 0x4000, image.begin() + 0x6000, 0xFF);
    prepare({{kFlash, image}});
    std::copy(image.begin(), image.end(), hardware_->flash.begin());
    hardware_->flash[0x5000] = 0;      // sector 1, its third block
    hardware_->flash[0x1F000] = 0x5A;  // sector 4, past the image, its 31st block
    const uint64_t before = sim::DfuTiming::snapshot().requests;
    ASSERT_EQ(runOperation(kDfuOperationCompare, image_).error, kDfuSuccess);
    EXPECT_LT(sim::DfuTiming::snapshot().requests - before, 58 + 20u) << "one address pointer";
    STDFUFILES_DestroyImage(&eraseImage_);  // fitted to the whole image
    ASSERT_EQ(STDFUFILES_DuplicateImage(image_, &eraseImage_), kDfuSuccess);
    ASSERT_EQ(STDFUFILES_FilterImageForOperation(eraseImage_, mapping_, kDfuOperationErase, 0),
              kDfuSuccess);
    EXPECT_EQ(runOperation(kDfuOperationErase, eraseImage_).error, kDfuSuccess);
    EXPECT_EQ(runOperation(kDfuOperationUpgrade, image_).error, kDfuSuccess);
    EXPECT_TRUE(flashHolds(kFlash, image));
    EXPECT_TRUE(flashHolds(kFlash + 0x14000, std::vector<uint8_t>(0xC000, 0xFF)));
    EXPECT_EQ(sim::DfuTiming::snapshot().downloadBytes, 12 * 2048u)
        << "4 blocks of sector 1, 8 of 4";
    EXPECT_EQ(sim::DfuTiming::snapshot().uploadBytes, (8 + 3 + 8 + 8 + 31 + 12) * 2048u);
}

TEST_F(OperationsTest, StopEndsARunningOperation) {
    prepare({{kFlash, pattern(0x100000, 1)}});  // every sector: seconds of erasing
    DfuOperationContext context = makeContext(kDfuOperationErase, eraseImage_, kPath);
    uint32_t handle = 0;
    ASSERT_EQ(STDFUPRT_LaunchOperation(&context, &handle), kDfuSuccess);
    ASSERT_EQ(STDFUPRT_StopOperation(handle, &context), kDfuSuccess);
    EXPECT_EQ(uint32_t{context.errorCode}, uint32_t{kDfuErrorOperationStopped});
    EXPECT_LT(context.percent, 100);
    EXPECT_EQ(STDFUPRT_GetOperationStatus(handle, &context), kDfuErrorBadHandle);
    EXPECT_EQ(STDFUPRT_StopOperation(handle, &context), kDfuErrorBadHandle);
}

TEST_F(OperationsTest, RefusesMalformedImagesAndLaunches) {
    prepare({{kFlash, pattern(100, 1)}});
    uint32_t handle = 0;
    DfuOperationContext badGuid = makeContext(kDfuOperationErase, eraseImage_, kPath);
    badGuid.guid.data1 ^= 1;
    DfuOperationContext unterminated = makeContext(kDfuOperationErase, eraseImage_, kPath);
    std::memset(unterminated.devicePath, 'A', sizeof unterminated.devicePath);
    const std::pair<DfuOperationContext, uint32_t> cases[] = {
        {badGuid, kDfuErrorBadContext},
        {unterminated, kDfuErrorBadContext},
        {makeContext(2, eraseImage_, kPath), kDfuErrorBadOperation},
        {makeContext(kDfuOperationErase, 12345, kPath), kDfuErrorBadHandle},
    };
    for (auto c : cases) {
        EXPECT_EQ(STDFUPRT_LaunchOperation(&c.first, &handle), c.second);
    }

    // An image is fitted only to memory the device has.
    uint32_t outside = readImage({{kFlash + 0x100000 - 2, pattern(4, 1)}});
    EXPECT_EQ(STDFUFILES_FilterImageForOperation(outside, mapping_, kDfuOperationErase, 0),
              kDfuErrorImageOutsideMemory);
    STDFUFILES_DestroyImage(&outside);
    // A failure found once running is reported through the context.
    EXPECT_EQ(runOperation(kDfuOperationErase, eraseImage_, "USB-BUS1-PORT9-IF0").error,
              kDfuErrorDeviceNotFound);
}

}  // namespace
