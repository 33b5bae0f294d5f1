#include <gtest/gtest.h>

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <map>
#include <string>
#include <vector>

#include "RunTool.h"

namespace {

const QString kHeading = "Available devices:";

bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The listing through the application on the virtual bus: not a log line, so printed the same
// with --verbose, and nothing goes to standard error.
TEST(DeviceListSimulated, UnitsInBusOrder) {
    QTemporaryDir dir;
    const QString scenario = dir.filePath("scenario.json");
    ASSERT_TRUE(writeFile(
        scenario, R"({"devices": [{"port": "4.2"}, {"port": "1.3"}, {"bus": 2, "port": "4.2"}]})"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("UNITFLASH_SIM_SCENARIO", scenario);
    environment.insert("UNITFLASH_SIM_PACE", "0");
    for (const QStringList& arguments :
         {QStringList{"--list-devices"}, QStringList{"--list-devices", "--verbose"}}) {
        const ToolRun run = runTool(UNITFLASH_SIM_BINARY, arguments, environment, dir.path());
        EXPECT_EQ(run.exitCode, 0);
        // The bus is named where a port path alone does not tell two units apart.
        EXPECT_EQ(run.lines(), (QStringList{kHeading, " Port path: 4.2 (bus 2)",
                                            " Port path: 4.2 (bus 1)", " Port path: 1.3"}));
        EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
    }
}

// The product, linked to the real libusb, over a USB bus that umockdev fakes in sysfs. Listing
// opens no device, so descriptors and the sysfs topology are all that is needed. Units of the
// right vendor and product with a release from 2.10 to 3.FF are listed, at any depth behind hubs.
TEST(DeviceListRealLibusb, ReleaseRangeAndPortPaths) {
    const QString umockdevRun = QStandardPaths::findExecutable("umockdev-run");
    if (umockdevRun.isEmpty())
        GTEST_SKIP() << "umockdev-run is not installed";
    const ToolRun probe = runTool(umockdevRun, {"--", "true"});
    if (probe.exitCode != 0)
        GTEST_SKIP() << "umockdev cannot fake devices here: " << probe.err.toStdString();

    const struct {
        int bus;
        std::vector<int> ports;
        int vendor, product, release;
    } devices[] = {
        {1, {1}, 0x6444, 1, 0x020F},    {1, {2}, 0x6444, 1, 0x0210},
        {1, {3, 1}, 0x6444, 1, 0x02FF}, {1, {3, 2}, 0x6444, 1, 0x0300},
        {2, {2}, 0x6444, 1, 0x0400},    {2, {1, 4, 3}, 0x6444, 1, 0x03FF},
        {2, {3}, 0x6444, 2, 0x0250},    {2, {4}, 0x6445, 1, 0x0250},
    };
    std::map<std::string, QByteArray> nodes;  // by sysfs path: hubs are shared
    for (const auto& d : devices) {
        std::string path = "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(d.bus);
        std::string name = std::to_string(d.bus) + "-";
        for (size_t level = 0; level <= d.ports.size(); ++level) {
            if (level > 0) {
                name += (level == 1 ? "" : ".") + std::to_string(d.ports[level - 1]);
                path += "/" + name;
            }
            const bool hub = level < d.ports.size();
            const int v = hub ? 0x1D6B : d.vendor, p = hub ? 2 : d.product,
                      r = hub ? 0x100 : d.release, address = int(nodes.size()) + 1;
            // The descriptors: the device's, then one configuration with one interface and one
            // endpoint.
            nodes.emplace(path,
                          QString::asprintf(
                              "P: %s\nN: bus/usb/%03d/%03d\nE: DEVNAME=/dev/bus/usb/%03d/%03d\n"
                              "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n"
                              "E: BUSNUM=%03d\nE: DEVNUM=%03d\nA: busnum=%d\nA: devnum=%d\n"
                              "A: speed=12\nA: bConfigurationValue=1\nA: bNumConfigurations=1\n"
                              "H: descriptors=12010002%02x000040%02x%02x%02x%02x%02x%02x01020301"
                              "0902190001010080320904000001%02x0000000705810304000c\n\n",
                              path.c_str(), d.bus, address, d.bus, address, d.bus, address, d.bus,
                              address, hub ? 9 : 0, v & 0xFF, v >> 8, p & 0xFF, p >> 8, r & 0xFF,
                              r >> 8, hub ? 9 : 0xFF)
                              .toUtf8());
        }
    }
    QByteArray description;
    for (const auto& node : nodes)
        description += node.second;
    QTemporaryDir dir;
    ASSERT_TRUE(writeFile(dir.filePath("bus.umockdev"), description));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // A sanitized product must accept umockdev's preloaded library ahead of its runtime.
    environment.insert("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0");
    const ToolRun run =
        runTool(umockdevRun, {"-d", dir.filePath("bus.umockdev"), "--", UNITFLASH_BINARY, "-l"},
                environment, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    QStringList lines = run.lines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.takeFirst(), kHeading);
    // The order is the one the library enumerates sysfs in, which the test does not fix.
    lines.sort();
    EXPECT_EQ(lines, (QStringList{" Port path: 1.4.3", " Port path: 2", " Port path: 3.1",
                                  " Port path: 3.2"}));
}

}  // namespace
