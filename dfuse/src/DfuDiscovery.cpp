#include "dfuse/DfuDiscovery.h"

#include <algorithm>
#include <tuple>

#include "DevicePath.h"
#include "DfuError.h"
#include "DfuInterface.h"
#include "Handles.h"
#include "dfuse/Stdfu.h"
#include "usb/UsbOwners.h"

namespace dfuse {
namespace {

struct Found {
    uint8_t bus;
    bool located;
    std::vector<uint8_t> ports;
    uint8_t address;
    uint8_t interfaceNumber;

    auto key() const { return std::tie(bus, located, ports, address, interfaceNumber); }
};

bool isDfuModeInterface(const libusb_interface& interface) {
    return std::any_of(interface.altsetting, interface.altsetting + interface.num_altsetting,
                       [](const libusb_interface_descriptor& alt) { return isDfuMode(alt); });
}

// Every DFU-mode interface present, in the order of their paths.
std::vector<Found> findDfuInterfaces() {
    usb::Context context = usb::makeContext();
    if (!context) {
        fail(kDfuErrorUsbInit, "libusb_init failed");
    }
    usb::DeviceList devices(context.get());
    std::vector<Found> found;
    for (size_t i = 0; i < devices.size(); ++i) {
        const usb::Config config = deviceConfig(devices[i]);
        if (!config) {
            continue;
        }
        uint8_t ports[8] = {};
        const int portCount = libusb_get_port_numbers(devices[i], ports, sizeof ports);
        for (int n = 0; n < config->bNumInterfaces; ++n) {
            const libusb_interface& interface = config->interface[n];
            if (interface.num_altsetting < 1 || !isDfuModeInterface(interface)) {
                continue;
            }
            Found entry;
            entry.bus = libusb_get_bus_number(devices[i]);
            entry.located = portCount > 0;
            if (portCount > 0) {
                entry.ports.assign(ports, ports + portCount);
            }
            entry.address = libusb_get_device_address(devices[i]);
            entry.interfaceNumber = interface.altsetting[0].bInterfaceNumber;
            found.push_back(std::move(entry));
        }
    }
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.key() < b.key(); });
    return found;
}

// The path of an interface; empty for a device without a port path (a root hub, or an
// unreadable location), which cannot be named in a way that finds it again.
std::string pathOf(const Found& entry) {
    if (!entry.located) {
        return {};
    }
    DevicePath path;
    path.bus = entry.bus;
    path.ports = entry.ports;
    path.interfaceNumber = entry.interfaceNumber;
    return path.text();
}

}  // namespace

std::optional<usb::PortPath> devicePortPath(const std::string& path) {
    const std::optional<DevicePath> parsed = DevicePath::parse(path);
    if (!parsed) {
        return std::nullopt;
    }
    return usb::PortPath{parsed->bus, parsed->ports};
}

}  // namespace dfuse

uint32_t STDFU_GetDevicePaths(char* paths, uint32_t capacity, uint32_t* count) {
    using namespace dfuse;
    return guarded([&] {
        require(count && (paths || capacity == 0));
        const std::vector<Found> found = findDfuInterfaces();
        *count = uint32_t(found.size());
        for (uint32_t i = 0; i < std::min(capacity, *count); ++i) {
            const std::string path = pathOf(found[i]);
            const size_t length = std::min(path.size(), kDfuDevicePathSize - 1);
            char* entry = paths + size_t(i) * kDfuDevicePathSize;
            std::copy_n(path.data(), length, entry);
            entry[length] = '\0';
        }
    });
}
