#include "BusMirror.h"

#include <cstdio>

namespace usbfs {

namespace {

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

std::string devnodeOf(uint8_t bus, uint8_t address) {
    char name[32];
    std::snprintf(name, sizeof name, "/dev/bus/usb/%03u/%03u", bus, address);
    return name;
}

// A node in umockdev's text form, as the kernel shows a USB device in sysfs.
std::string nodeText(const std::string& path, uint8_t bus, uint8_t address,
                     const std::vector<uint8_t>& descriptors) {
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  "N: bus/usb/%03u/%03u\nE: DEVNAME=/dev/bus/usb/%03u/%03u\n"
                  "E: BUSNUM=%03u\nE: DEVNUM=%03u\nA: busnum=%u\nA: devnum=%u\n",
                  bus, address, bus, address, bus, address, bus, address);
    return "P: " + path + "\n" + numbers +
           "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n"
           "A: speed=12\nA: bConfigurationValue=1\nA: bNumConfigurations=1\n"
           "H: descriptors=" +
           hex(descriptors) + "\n\n";
}

// A full-speed hub: device descriptor, one configuration with the hub interface and its
// status change endpoint.
const std::vector<uint8_t> kHubDescriptors = {
    0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x00, 0x40, 0x6b, 0x1d, 0x02, 0x00, 0x00, 0x01, 0x00,
    0x00, 0x00, 0x01, 0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0xe0, 0x00, 0x09, 0x04, 0x00,
    0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x07, 0x05, 0x81, 0x03, 0x02, 0x00, 0x0c};

}  // namespace

std::string BusMirror::hubPath(uint8_t bus, const std::vector<uint8_t>& ports) {
    std::string path = "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus);
    std::string name = std::to_string(bus) + "-";
    for (size_t level = 0; level <= ports.size(); ++level) {
        if (level > 0) {
            name += (level == 1 ? "" : ".") + std::to_string(ports[level - 1]);
            path += "/" + name;
        }
        if (level < ports.size() && hubs_.insert(path).second) {
            // The root hub is address 1; hubs behind it take addresses from the top, clear of
            // those the simulated bus gives its devices.
            uint8_t& next = nextHubAddress_.try_emplace(bus, 127).first->second;
            const uint8_t address = level == 0 ? 1 : next--;
            const std::string text = nodeText(path, bus, address, kHubDescriptors);
            umockdev_testbed_add_from_string(testbed_, text.c_str(), nullptr);
        }
    }
    return path;
}

void BusMirror::add(SimDevice& device) {
    std::vector<uint8_t> parent(device.ports.begin(), device.ports.end() - 1);
    hubPath(device.bus, parent);
    const std::string path = hubPath(device.bus, device.ports);
    Node node{"/sys" + path, devnodeOf(device.bus, device.address)};
    // The handler first, so that the program can open the node as soon as it hears of it.
    umockdev_testbed_attach_ioctl(testbed_, node.devnode.c_str(), handler_.base(), nullptr);
    handler_.deviceArrived(node.devnode, device.device);
    device.device = nullptr;
    const std::string text = nodeText(path, device.bus, device.address, device.descriptors);
    umockdev_testbed_add_from_string(testbed_, text.c_str(), nullptr);
    umockdev_testbed_uevent(testbed_, node.sysPath.c_str(), "add");
    devices_.emplace(Key{device.bus, device.ports, device.address}, node);
}

void BusMirror::remove(const Node& node) {
    handler_.deviceLeft(node.devnode);
    umockdev_testbed_uevent(testbed_, node.sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, node.sysPath.c_str());
    umockdev_testbed_detach_ioctl(testbed_, node.devnode.c_str(), nullptr);
}

void BusMirror::sync(std::vector<SimDevice>& devices) {
    std::set<Key> now;
    for (const SimDevice& device : devices) {
        if (!device.ports.empty()) {  // the bridge mirrors devices behind ports only
            now.insert(Key{device.bus, device.ports, device.address});
        }
    }
    // Leaving first: a device that restarted as another one between two looks takes the same
    // sysfs path.
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (now.count(it->first) == 0) {
            remove(it->second);
            it = devices_.erase(it);
        } else {
            ++it;
        }
    }
    for (SimDevice& device : devices) {
        Key key{device.bus, device.ports, device.address};
        if (!device.ports.empty() && devices_.count(key) == 0) {
            add(device);
        }
    }
}

}  // namespace usbfs
