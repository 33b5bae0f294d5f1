#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <string>
#include <utility>
#include <vector>

#include "SimulatedLoader.h"
#include "dfu/FindDfuDevices.h"
#include "dfuse/Stdfu.h"
#include "sim/SimulatedUnit.h"

namespace {

using Messages = std::vector<std::pair<QtMsgType, std::string>>;
Messages messages;

void capture(QtMsgType type, const QMessageLogContext&, const QString& text) {
    messages.emplace_back(type, text.toStdString());
}

using DeviceAccessTest = LoaderTest;

std::shared_ptr<sim::SimulatedBootloader> anotherLoader() {
    return std::make_shared<sim::SimulatedBootloader>(std::make_shared<sim::UnitHardware>());
}

// Discovery by the DFU layer: the boot loaders' interface paths, upper-cased, in bus and port
// order, with one message each.
TEST_F(DeviceAccessTest, DiscoveryListsLoadersInPortOrderAndTheirPathsOpenInAnyCase) {
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    sim::Bus::instance().reset();
    EXPECT_TRUE(findDfuDevices().isEmpty());
    EXPECT_TRUE(messages.empty());
    sim::Bus::instance().attach(1, {2}, loader_);
    EXPECT_EQ(findDfuDevices(), QStringList{kPath});

    sim::Bus::instance().attach(2, {1}, anotherLoader());
    sim::Bus::instance().attach(1, {1, 4}, anotherLoader());
    // A unit in normal operation has no DFU-mode interface.
    sim::Bus::instance().attach(
        1, {1, 1}, std::make_shared<sim::SimulatedUnit>(std::make_shared<sim::UnitHardware>()));
    // Attached with no port path, like a device whose location cannot be read.
    sim::Bus::instance().attach(0, {}, anotherLoader());
    messages.clear();
    EXPECT_EQ(findDfuDevices(),
              (QStringList{QString(), "USB-BUS1-PORT1.4-IF0", kPath, "USB-BUS2-PORT1-IF0"}));
    EXPECT_EQ(messages, (Messages{{QtWarningMsg, "DFU device with empty name"},
                                  {QtDebugMsg, "Found DFU device: \"USB-BUS1-PORT1.4-IF0\""},
                                  {QtDebugMsg, "Found DFU device: \"USB-BUS1-PORT2-IF0\""},
                                  {QtDebugMsg, "Found DFU device: \"USB-BUS2-PORT1-IF0\""}}));
    qInstallMessageHandler(previous);

    uint32_t handle = 0;
    ASSERT_EQ(STDFU_Open("usb-bus1-port1.4-if0", &handle), kDfuSuccess);
    EXPECT_EQ(STDFU_SelectCurrentConfiguration(&handle, 0, 0, 1), kDfuSuccess);
    DfuStatus status{};
    ASSERT_EQ(STDFU_Getstatus(&handle, &status), kDfuSuccess);
    // As a real STM32 boot loader after reset.
    EXPECT_EQ(status.bState, kDfuStateError);
    EXPECT_EQ(status.bStatus, kDfuStatusErrFirmware);
    EXPECT_EQ(STDFU_Close(&handle), kDfuSuccess);
    EXPECT_EQ(STDFU_Getstatus(&handle, &status), kDfuErrorBadHandle);
}

TEST_F(DeviceAccessTest, RefusesBadPathsAndSelections) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"", kDfuErrorBadDevicePath},
        {"USB-BUS1-PORT256-IF0", kDfuErrorBadDevicePath},
        {"USB-BUS1-PORT1.2.3.4.5.6.7.8-IF0", kDfuErrorBadDevicePath},
        {"USB-BUS1-PORT3-IF0", kDfuErrorDeviceNotFound},
        {"USB-BUS1-PORT2-IF1", kDfuErrorNotDfuInterface},
    };
    uint32_t handle = 0;
    for (const auto& c : cases)
        EXPECT_EQ(STDFU_Open(c.first, &handle), c.second) << c.first;
    ASSERT_EQ(STDFU_Open(kPath, &handle), kDfuSuccess);
    EXPECT_EQ(STDFU_SelectCurrentConfiguration(&handle, 0, 0, 4), kDfuErrorInvalidArgument);
    EXPECT_EQ(STDFU_SelectCurrentConfiguration(&handle, 1, 0, 0), kDfuErrorInvalidArgument);
    EXPECT_EQ(STDFU_Close(&handle), kDfuSuccess);
}

}  // namespace
