#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace usb {

// Where a device sits on the host: its bus number and the hub ports from the root hub down.
// Two host controllers each have a port 1.4, so a device is only found again by both. As a
// filter, bus 0 stands for any bus and no ports for any port.
struct PortPath {
    static constexpr size_t kMaxPorts = 7;  // what USB allows below a root hub

    uint8_t bus = 0;
    std::vector<uint8_t> ports;

    // Both parts always, so that a list of ports is never taken for a bus number.
    PortPath() = default;
    PortPath(uint8_t busNumber, std::vector<uint8_t> portNumbers)
        : bus(busNumber), ports(std::move(portNumbers)) {}

    // "1.4" (any bus) or "2-1.4", the kernel's form: 1 to 7 numbers from 1 to 255 separated by
    // single dots, optionally after a bus number from 1 to 255 and "-"; nothing otherwise.
    static std::optional<PortPath> parse(const std::string& text);

    // The ports alone, "1.4"; empty for no ports.
    std::string text() const;
    // With the bus when there is one, "2-1.4".
    std::string textWithBus() const;

    bool isAny() const { return bus == 0 && ports.empty(); }
    // The device at `device` lies on this path or below it (and on this bus, when there is one).
    bool covers(const PortPath& device) const;

    bool operator==(const PortPath& other) const {
        return bus == other.bus && ports == other.ports;
    }
    bool operator!=(const PortPath& other) const { return !(*this == other); }
};

}  // namespace usb
