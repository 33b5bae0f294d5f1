#pragma once

// The simulated bus in umockdev's sysfs: one node per device, named from its bus and port path
// with the hubs in between, and remove/add uevents as devices leave and arrive.

#include <umockdev.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "SimLink.h"
#include "UsbfsHandler.h"

namespace usbfs {

class BusMirror {
  public:
    BusMirror(UMockdevTestbed* testbed, UsbfsHandler& handler)
        : testbed_(testbed), handler_(handler) {}
    // Brings sysfs to the devices on the bus now (takes the references `devices` holds).
    void sync(std::vector<SimDevice>& devices);

  private:
    using Key = std::tuple<uint8_t, std::vector<uint8_t>, uint8_t>;  // bus, ports, address
    struct Node {
        std::string sysPath;  // "/sys/devices/..."
        std::string devnode;
    };
    // The sysfs path of the hub or device at `ports` (the root hub for none), adding the hubs
    // on the way.
    std::string hubPath(uint8_t bus, const std::vector<uint8_t>& ports);
    void add(SimDevice& device);
    void remove(const Node& node);

    UMockdevTestbed* testbed_;
    UsbfsHandler& handler_;
    std::map<Key, Node> devices_;
    std::set<std::string> hubs_;
    std::map<uint8_t, uint8_t> nextHubAddress_;
};

}  // namespace usbfs
