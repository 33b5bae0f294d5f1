#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <string>
#include <vector>

#include "SimulatedLoader.h"
#include "dfu/FindDfuDevices.h"

namespace {

std::vector<std::pair<QtMsgType, std::string>> messages;

void capture(QtMsgType type, const QMessageLogContext&, const QString& text) {
    messages.emplace_back(type, text.toStdString());
}

class FindDfuDevicesTest : public LoaderTest {
  protected:
    void SetUp() override {
        LoaderTest::SetUp();
        messages.clear();
        previous_ = qInstallMessageHandler(capture);
    }
    void TearDown() override {
        qInstallMessageHandler(previous_);
        LoaderTest::TearDown();
    }
    QtMessageHandler previous_ = nullptr;
};

TEST_F(FindDfuDevicesTest, ListsUpperCasePathsWithADebugLineEach) {
    sim::Bus::instance().attach(
        2, {1}, std::make_shared<sim::SimulatedBootloader>(std::make_shared<sim::UnitHardware>()));
    EXPECT_EQ(findDfuDevices(), (QStringList{kPath, "USB-BUS2-PORT1-IF0"}));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].first, QtDebugMsg);
    EXPECT_EQ(messages[0].second, "Found DFU device: \"USB-BUS1-PORT2-IF0\"");
    EXPECT_EQ(messages[1].second, "Found DFU device: \"USB-BUS2-PORT1-IF0\"");
}

TEST_F(FindDfuDevicesTest, AnUnlocatableDeviceGivesAnEmptyEntryInItsPlace) {
    // Attached with no port path, like a device whose location cannot be read.
    sim::Bus::instance().attach(
        0, {}, std::make_shared<sim::SimulatedBootloader>(std::make_shared<sim::UnitHardware>()));
    EXPECT_EQ(findDfuDevices(), (QStringList{QString(), kPath}));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].first, QtWarningMsg);
    EXPECT_EQ(messages[0].second, "DFU device with empty name");
}

TEST_F(FindDfuDevicesTest, NoDeviceGivesAnEmptyListAndNoMessage) {
    sim::Bus::instance().reset();
    EXPECT_TRUE(findDfuDevices().isEmpty());
    EXPECT_TRUE(messages.empty());
}

}  // namespace
