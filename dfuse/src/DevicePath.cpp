#include "DevicePath.h"

#include <cctype>

#include "usb/PortPath.h"

namespace dfuse {
namespace {

bool acceptWord(const std::string& text, size_t* pos, const char* word) {
    size_t i = *pos;
    for (const char* w = word; *w; ++w, ++i) {
        if (i >= text.size() || std::toupper(static_cast<unsigned char>(text[i])) != *w) {
            return false;
        }
    }
    *pos = i;
    return true;
}

bool acceptByte(const std::string& text, size_t* pos, uint8_t* value) {
    size_t i = *pos;
    unsigned v = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && i - *pos < 3) {
        v = v * 10 + unsigned(text[i++] - '0');
    }
    if (i == *pos || v > 255 ||
        (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))) {
        return false;
    }
    *value = uint8_t(v);
    *pos = i;
    return true;
}

}  // namespace

std::string DevicePath::text() const {
    return "USB-BUS" + std::to_string(bus) + "-PORT" + usb::PortPath{0, ports}.text() + "-IF" +
           std::to_string(interfaceNumber);
}

std::optional<DevicePath> DevicePath::parse(const std::string& text) {
    DevicePath path;
    size_t pos = 0;
    if (!acceptWord(text, &pos, "USB-BUS") || !acceptByte(text, &pos, &path.bus) ||
        !acceptWord(text, &pos, "-PORT")) {
        return std::nullopt;
    }
    const size_t portsEnd = text.find('-', pos);
    const std::optional<usb::PortPath> place =
        usb::PortPath::parse(text.substr(pos, portsEnd == std::string::npos ? 0 : portsEnd - pos));
    pos = portsEnd;
    if (!place || !acceptWord(text, &pos, "-IF") ||
        !acceptByte(text, &pos, &path.interfaceNumber) || pos != text.size()) {
        return std::nullopt;
    }
    path.ports = place->ports;
    return path;
}

}  // namespace dfuse
