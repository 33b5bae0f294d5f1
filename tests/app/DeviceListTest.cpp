#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "RunTool.h"

namespace {

const QString kHeading = "Available devices:";

bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The listing through the application on the virtual bus.
class DeviceListSimulated : public ::testing::Test {
  protected:
    ToolRun listWith(const QByteArray& scenario, const QStringList& extra = {}) {
        const QString path = dir.filePath("scenario.json");
        EXPECT_TRUE(writeFile(path, scenario));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("UNITFLASH_SIM_SCENARIO", path);
        environment.insert("UNITFLASH_SIM_PACE", "0");
        return runTool(UNITFLASH_SIM_BINARY, QStringList{"--list-devices"} + extra, environment,
                       dir.path());
    }
    QTemporaryDir dir;
};

TEST_F(DeviceListSimulated, TwoUnitsInBusOrder) {
    const ToolRun run = listWith(R"({"devices": [{"port": "4.2"}, {"port": "1.3"}]})");
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.lines(), (QStringList{kHeading, " Port path: 4.2", " Port path: 1.3"}));
    // Not a log line: printed the same with --verbose, and nothing goes to standard error.
    const ToolRun verbose =
        listWith(R"({"devices": [{"port": "4.2"}, {"port": "1.3"}]})", {"--verbose"});
    EXPECT_TRUE(verbose.lines().contains(" Port path: 1.3"));
    EXPECT_TRUE(verbose.err.isEmpty()) << verbose.err.toStdString();
}

TEST_F(DeviceListSimulated, NoUnits) {
    const ToolRun run = listWith(R"({"devices": []})");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.lines(), QStringList{kHeading});
}

// The product, linked to the real libusb, over a USB bus that umockdev fakes in sysfs. Listing
// opens no device, so descriptors and the sysfs topology are all that is needed.
class DeviceListRealLibusb : public ::testing::Test {
  protected:
    void SetUp() override {
        umockdevRun = QStandardPaths::findExecutable("umockdev-run");
        if (umockdevRun.isEmpty()) {
            GTEST_SKIP() << "umockdev-run is not installed";
        }
        const ToolRun probe = runTool(umockdevRun, {"--", "true"});
        if (probe.exitCode != 0) {
            GTEST_SKIP() << "umockdev cannot fake devices here: " << probe.err.toStdString();
        }
    }

    // Adds a device (and the hubs above it) at `ports` of bus `bus`.
    void addDevice(int bus, const std::vector<int>& ports, uint16_t vendor, uint16_t product,
                   uint16_t release) {
        std::string path = "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus);
        addNode(path, bus, 0x1D6B, 0x0002, 0x0100, true);
        std::string name = std::to_string(bus) + "-";
        for (size_t i = 0; i < ports.size(); ++i) {
            name += (i == 0 ? "" : ".") + std::to_string(ports[i]);
            path += "/" + name;
            const bool last = i + 1 == ports.size();
            addNode(path, bus, last ? vendor : 0x1A40, last ? product : 0x0101,
                    last ? release : 0x0111, !last);
        }
    }

    ToolRun list() {
        QByteArray description;
        for (const auto& node : nodes) {
            description += node.second;
        }
        const QString file = dir.filePath("bus.umockdev");
        EXPECT_TRUE(writeFile(file, description));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // A sanitized product must accept umockdev's preloaded library ahead of its runtime.
        environment.insert("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0");
        return runTool(umockdevRun, {"-d", file, "--", UNITFLASH_BINARY, "--list-devices"},
                       environment, dir.path());
    }

    QString umockdevRun;
    QTemporaryDir dir;

  private:
    void addNode(const std::string& path, int bus, uint16_t vendor, uint16_t product,
                 uint16_t release, bool hub) {
        if (nodes.count(path) != 0) {
            return;
        }
        const int address = static_cast<int>(nodes.size()) + 1;
        const std::vector<int> descriptors = {
            18, 1, 0x00, 0x02, hub ? 9 : 0, 0, 0, 64, vendor & 0xFF, vendor >> 8, product & 0xFF,
            product >> 8, release & 0xFF, release >> 8, 1, 2, 3, 1,
            // One configuration with one interface and one endpoint.
            9, 2, 25, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, hub ? 9 : 0xFF, 0, 0, 0, 7, 5, 0x81, 3,
            4, 0, 12};
        QByteArray hex;
        for (int byte : descriptors) {
            hex += QByteArray::number(byte | 0x100, 16).mid(1);
        }
        const QByteArray busText = QByteArray::number(bus).rightJustified(3, '0');
        const QByteArray addressText = QByteArray::number(address).rightJustified(3, '0');
        QByteArray node;
        node += "P: " + QByteArray::fromStdString(path) + "\n";
        node += "N: bus/usb/" + busText + "/" + addressText + "\n";
        node += "E: DEVNAME=/dev/bus/usb/" + busText + "/" + addressText + "\n";
        node += "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n";
        node += "E: BUSNUM=" + busText + "\nE: DEVNUM=" + addressText + "\n";
        node += "A: busnum=" + QByteArray::number(bus) + "\n";
        node += "A: devnum=" + QByteArray::number(address) + "\n";
        node += "A: speed=12\nA: bConfigurationValue=1\nA: bNumConfigurations=1\n";
        node += "H: descriptors=" + hex + "\n\n";
        nodes[path] = node;
    }

    std::map<std::string, QByteArray> nodes;
};

TEST_F(DeviceListRealLibusb, ReleaseRangeAndPortPaths) {
    addDevice(1, {1}, 0x6444, 0x0001, 0x020F);
    addDevice(1, {2}, 0x6444, 0x0001, 0x0210);
    addDevice(1, {3, 1}, 0x6444, 0x0001, 0x02FF);
    addDevice(1, {3, 2}, 0x6444, 0x0001, 0x0300);
    addDevice(2, {1, 4, 3}, 0x6444, 0x0001, 0x03FF);
    addDevice(2, {2}, 0x6444, 0x0001, 0x0400);
    addDevice(2, {3}, 0x6444, 0x0002, 0x0250);
    addDevice(2, {4}, 0x6445, 0x0001, 0x0250);
    const ToolRun run = list();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    QStringList lines = run.lines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.takeFirst(), kHeading);
    // The order is the one the library enumerates sysfs in, which the test does not fix.
    lines.sort();
    EXPECT_EQ(lines, (QStringList{" Port path: 1.4.3", " Port path: 2", " Port path: 3.1",
                                  " Port path: 3.2"}));
}

TEST_F(DeviceListRealLibusb, BusWithoutUnits) {
    addDevice(1, {4}, 0x6444, 0x0001, 0x0400);
    const ToolRun run = list();
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.lines(), QStringList{kHeading});
}

}  // namespace
