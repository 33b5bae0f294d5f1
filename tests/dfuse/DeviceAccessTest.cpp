#include <optional>
#include <string>
#include <vector>

#include "SimulatedLoader.h"
#include "dfuse/DfuDiscovery.h"
#include "dfuse/MemoryLayout.h"
#include "dfuse/Stdfu.h"
#include "sim/SimulatedUnit.h"

namespace {

using DeviceAccessTest = LoaderTest;

// A boot loader whose descriptors are damaged in one of two ways.
class DamagedLoader : public sim::SimulatedBootloader {
  public:
    enum Damage { kBadLayout, kNoFunctionalDescriptor };
    DamagedLoader(std::shared_ptr<sim::UnitHardware> hardware, Damage damage)
        : SimulatedBootloader(std::move(hardware)), damage_(damage) {}

    std::optional<std::string> stringDescriptor(uint8_t index) const override {
        std::optional<std::string> text = SimulatedBootloader::stringDescriptor(index);
        if (damage_ == kBadLayout && text && text->rfind("@Internal Flash", 0) == 0)
            return std::string("@Internal Flash  /0x08000000/04*016Kg,01*064K");
        return text;
    }

    std::vector<uint8_t> configDescriptor() const override {
        std::vector<uint8_t> bytes = SimulatedBootloader::configDescriptor();
        if (damage_ != kNoFunctionalDescriptor)
            return bytes;
        std::vector<uint8_t> kept;
        for (size_t at = 0; at + 1 < bytes.size() && bytes[at] > 0; at += bytes[at]) {
            if (bytes[at + 1] != 0x21)
                kept.insert(kept.end(), bytes.begin() + long(at),
                            bytes.begin() + long(at) + bytes[at]);
        }
        kept[2] = uint8_t(kept.size());
        kept[3] = uint8_t(kept.size() >> 8);
        return kept;
    }

  private:
    Damage damage_;
};

std::vector<std::optional<std::string>> discover() {
    std::vector<std::optional<std::string>> paths;
    EXPECT_EQ(dfuse::findDfuInterfaces(&paths), kDfuSuccess);
    return paths;
}

TEST_F(DeviceAccessTest, DiscoveryListsEveryLoaderInPortOrder) {
    using Paths = std::vector<std::optional<std::string>>;
    EXPECT_EQ(discover(), Paths{kPath});

    auto other = std::make_shared<sim::SimulatedBootloader>(std::make_shared<sim::UnitHardware>());
    sim::Bus::instance().attach(1, {1, 4}, other);
    // A unit in normal operation has no DFU-mode interface.
    sim::Bus::instance().attach(
        1, {1, 1}, std::make_shared<sim::SimulatedUnit>(std::make_shared<sim::UnitHardware>()));
    EXPECT_EQ(discover(), (Paths{"USB-BUS1-PORT1.4-IF0", kPath}));

    sim::Bus::instance().reset();
    EXPECT_TRUE(discover().empty());
}

TEST_F(DeviceAccessTest, OpensByPathInAnyCaseAndReadsStatus) {
    uint32_t handle = 0;
    ASSERT_EQ(STDFU_Open("usb-bus1-port2-if0", &handle), kDfuSuccess);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(STDFU_SelectCurrentConfiguration(&handle, 0, 0, 1), kDfuSuccess);
    DfuStatus status{};
    ASSERT_EQ(STDFU_Getstatus(&handle, &status), kDfuSuccess);
    EXPECT_EQ(status.bState, kDfuStateIdle);
    EXPECT_EQ(status.bStatus, kDfuStatusOk);
    EXPECT_EQ(STDFU_Close(&handle), kDfuSuccess);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(STDFU_Close(&handle), kDfuErrorBadHandle);
    EXPECT_EQ(STDFU_Getstatus(&handle, &status), kDfuErrorBadHandle);
}

TEST_F(DeviceAccessTest, ClearsAnErrorState) {
    sim::BootloaderFaults faults;
    faults.startInError = true;
    replaceLoader(faults);
    uint32_t handle = 0;
    ASSERT_EQ(STDFU_Open(kPath, &handle), kDfuSuccess);
    ASSERT_EQ(STDFU_SelectCurrentConfiguration(&handle, 0, 0, 1), kDfuSuccess);
    DfuStatus status{};
    ASSERT_EQ(STDFU_Getstatus(&handle, &status), kDfuSuccess);
    EXPECT_EQ(status.bState, kDfuStateError);
    EXPECT_EQ(STDFU_Clrstatus(&handle), kDfuSuccess);
    ASSERT_EQ(STDFU_Getstatus(&handle, &status), kDfuSuccess);
    EXPECT_EQ(status.bState, kDfuStateIdle);
    EXPECT_EQ(STDFU_Close(&handle), kDfuSuccess);
}

TEST_F(DeviceAccessTest, RefusesBadPathsSelectionsAndGoneDevices) {
    uint32_t handle = 0;
    EXPECT_EQ(STDFU_Open("", &handle), kDfuErrorBadDevicePath);
    EXPECT_EQ(STDFU_Open("USB-BUS1-PORT2", &handle), kDfuErrorBadDevicePath);
    EXPECT_EQ(STDFU_Open("USB-BUS1-PORT2-IF0 ", &handle), kDfuErrorBadDevicePath);
    EXPECT_EQ(STDFU_Open("USB-BUS1-PORT1.2.3.4.5.6.7.8-IF0", &handle), kDfuErrorBadDevicePath);
    EXPECT_EQ(STDFU_Open("USB-BUS1-PORT256-IF0", &handle), kDfuErrorBadDevicePath);
    EXPECT_EQ(STDFU_Open("USB-BUS1-PORT3-IF0", &handle), kDfuErrorDeviceNotFound);
    EXPECT_EQ(STDFU_Open("USB-BUS1-PORT2-IF1", &handle), kDfuErrorNotDfuInterface);

    ASSERT_EQ(STDFU_Open(kPath, &handle), kDfuSuccess);
    EXPECT_EQ(STDFU_SelectCurrentConfiguration(&handle, 0, 0, 4), kDfuErrorInvalidArgument);
    EXPECT_EQ(STDFU_SelectCurrentConfiguration(&handle, 1, 0, 0), kDfuErrorInvalidArgument);
    sim::Bus::instance().unplug(1, {2});
    DfuStatus status{};
    EXPECT_EQ(STDFU_Getstatus(&handle, &status), kDfuErrorDeviceGone);
    EXPECT_EQ(STDFU_Close(&handle), kDfuSuccess);
}

TEST_F(DeviceAccessTest, MapsEveryAlternateSetting) {
    DfuMapping mapping = nullptr;
    uint32_t alternates = 0;
    ASSERT_EQ(STDFUPRT_CreateMappingFromDevice(kPath, &mapping, &alternates), kDfuSuccess);
    EXPECT_EQ(alternates, 4u);
    dfuse::MemoryLayout layout;
    ASSERT_EQ(dfuse::mappingLayout(mapping, 0, &layout), kDfuSuccess);
    EXPECT_EQ(layout.name, "Internal Flash");
    ASSERT_EQ(layout.groups.size(), 3u);
    EXPECT_EQ(layout.groups[2].count, 7u);
    ASSERT_EQ(dfuse::mappingLayout(mapping, 3, &layout), kDfuSuccess);
    EXPECT_EQ(layout.groups[0].address, 0xFFFF0000u);
    EXPECT_EQ(dfuse::mappingLayout(mapping, 4, &layout), kDfuErrorInvalidArgument);
    EXPECT_EQ(STDFUPRT_DestroyMapping(&mapping), kDfuSuccess);
    EXPECT_EQ(mapping, nullptr);

    EXPECT_EQ(STDFUPRT_CreateMappingFromDevice("", &mapping, &alternates), kDfuErrorBadDevicePath);
    EXPECT_EQ(mapping, nullptr);
}

TEST_F(DeviceAccessTest, RefusesDamagedDescriptors) {
    sim::Bus::instance().attach(
        1, {2}, std::make_shared<DamagedLoader>(hardware_, DamagedLoader::kBadLayout));
    DfuMapping mapping = nullptr;
    uint32_t alternates = 0;
    EXPECT_EQ(STDFUPRT_CreateMappingFromDevice(kPath, &mapping, &alternates),
              kDfuErrorBadMemoryLayout);
    EXPECT_EQ(mapping, nullptr);

    sim::Bus::instance().attach(
        1, {2}, std::make_shared<DamagedLoader>(hardware_, DamagedLoader::kNoFunctionalDescriptor));
    // Still a DFU-mode interface, but one that does not say how to talk to it.
    EXPECT_EQ(discover(), std::vector<std::optional<std::string>>{kPath});
    uint32_t handle = 0;
    EXPECT_EQ(STDFU_Open(kPath, &handle), kDfuErrorBadDescriptor);
    EXPECT_EQ(handle, 0u);
}

}  // namespace
