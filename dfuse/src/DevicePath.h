#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dfuse {

// Where a DFU interface sits: bus, hub ports from the root and interface number. Its text form
// is "USB-BUS<bus>-PORT<p1>.<p2>...-IF<interface>", all upper case, so that it survives being
// upper-cased by a caller; parsing ignores letter case.
struct DevicePath {
    uint8_t bus = 0;
    std::vector<uint8_t> ports;
    uint8_t interfaceNumber = 0;

    std::string text() const;
    static std::optional<DevicePath> parse(const std::string& text);
};

}  // namespace dfuse
