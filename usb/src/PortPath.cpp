#include "usb/PortPath.h"

#include <algorithm>

namespace usb {
namespace {

// A decimal number from 1 to 255 at `pos`, no sign, no blanks; moves `pos` past it.
std::optional<uint8_t> readNumber(const std::string& text, size_t& pos) {
    unsigned value = 0;
    const size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 4) {
        value = value * 10 + static_cast<unsigned>(text[pos] - '0');
        ++pos;
    }
    if (pos == start || value == 0 || value > 255) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(value);
}

}  // namespace

std::optional<PortPath> PortPath::parse(const std::string& text) {
    PortPath path;
    size_t pos = 0;
    const size_t dash = text.find('-');
    if (dash != std::string::npos) {
        const std::optional<uint8_t> bus = readNumber(text, pos);
        if (!bus || pos != dash) {
            return std::nullopt;
        }
        path.bus = *bus;
        ++pos;
    }
    while (true) {
        const std::optional<uint8_t> port = readNumber(text, pos);
        if (!port || path.ports.size() == kMaxPorts) {
            return std::nullopt;
        }
        path.ports.push_back(*port);
        if (pos == text.size()) {
            return path;
        }
        if (text[pos] != '.') {
            return std::nullopt;
        }
        ++pos;
    }
}

std::string PortPath::text() const {
    std::string result;
    for (const uint8_t port : ports) {
        result += (result.empty() ? "" : ".") + std::to_string(port);
    }
    return result;
}

std::string PortPath::textWithBus() const {
    return bus == 0 ? text() : std::to_string(bus) + "-" + text();
}

bool PortPath::covers(const PortPath& device) const {
    return (bus == 0 || bus == device.bus) && device.ports.size() >= ports.size() &&
           std::equal(ports.begin(), ports.end(), device.ports.begin());
}

}  // namespace usb
