#include "sim/UnitHardware.h"

#include <algorithm>
#include <cstring>

namespace sim {

std::string UnitHardware::firmwareVersion() const {
    const char* marker = kVersionMarker;
    size_t markerLength = std::strlen(marker);
    auto found = std::search(flash.begin(), flash.end(), marker, marker + markerLength);
    if (found == flash.end()) {
        return {};
    }
    auto start = found + markerLength;
    auto end = std::find(start, flash.end(), uint8_t{0});
    return std::string(start, end);
}

}  // namespace sim
