#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <string>
#include <utility>
#include <vector>

#include "SimulatedLoader.h"
#include "dfu/FindDfuDevices.h"
#include "dfu/ReturnToNormalOperation.h"
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
// order; one without a port path has an empty name.
TEST_F(DeviceAccessTest, DiscoveryListsLoadersInPortOrderAndTheirPathsOpenInAnyCase) {
    sim::Bus::instance().reset();
    EXPECT_TRUE(dfu::findDfuDevices().isEmpty());
    sim::Bus::instance().attach(1, {2}, loader_);
    EXPECT_EQ(dfu::findDfuDevices(), QStringList{kPath});

    sim::Bus::instance().attach(2, {1}, anotherLoader());
    sim::Bus::instance().attach(1, {1, 4}, anotherLoader());
    // A unit in normal operation has no DFU-mode interface.
    sim::Bus::instance().attach(
        1, {1, 1}, std::make_shared<sim::SimulatedUnit>(std::make_shared<sim::UnitHardware>()));
    // Attached with no port path, like a device whose location cannot be read.
    sim::Bus::instance().attach(0, {}, anotherLoader());
    EXPECT_EQ(dfu::findDfuDevices(),
              (QStringList{QString(), "USB-BUS1-PORT1.4-IF0", kPath, "USB-BUS2-PORT1-IF0"}));

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
        {"USB-BUS1-PORT3-IF0", kDfuErrorDeviceNotFound},
        {"USB-BUS2-PORT2-IF0", kDfuErrorDeviceNotFound},
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

// Whatever state an earlier run (or another tool) left the boot loader in, resuming brings it to
// dfuIDLE first and starts the firmware.
TEST_F(DeviceAccessTest, ResumeStartsFromEveryStateAnEarlierRunLeaves) {
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    const sim::ControlSetup getStatus{0xA1, 3, 0, 0, 6};
    const sim::ControlSetup upload{0xA1, 2, 2, 0, 64};
    const sim::ControlSetup setAddress{0x21, 1, 0, 0, 5};
    const sim::ControlSetup clearStatus{0x21, 4, 0, 0, 0};
    const struct {
        const char* what;
        std::vector<sim::ControlSetup> requests;
        sim::DfuState before;
    } cases[] = {
        {"upload open", {upload}, sim::DfuState::dfuUploadIdle},
        {"download open", {setAddress, getStatus, getStatus}, sim::DfuState::dfuDnloadIdle},
        {"error", {clearStatus}, sim::DfuState::dfuError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Bus::instance().reset();  // the unit an earlier case started is gone
        hardware_->makeUnit = sim::SimulatedUnit::factory({});
        sim::BootloaderFaults cleared;
        cleared.startInError = false;
        replaceLoader(cleared);
        for (const sim::ControlSetup& request : c.requests) {
            uint8_t data[64] = {0x21, 0x00, 0x00, 0x00, 0x08};
            loader_->control(request, data, 1000);
        }
        ASSERT_EQ(loader_->state(), c.before);
        messages.clear();
        EXPECT_TRUE(dfu::returnToNormalOperation({0, {2}}));
        EXPECT_NE(std::dynamic_pointer_cast<sim::SimulatedBootloader>(
                      sim::Bus::instance().deviceAt(1, {2})),
                  loader_)
            << "the boot loader left";
        EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                                [](const auto& m) { return m.first == QtCriticalMsg; }),
                  0);
    }
    qInstallMessageHandler(previous);
}

}  // namespace
