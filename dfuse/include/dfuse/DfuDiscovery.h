#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dfuse/DfuReturnCodes.h"

namespace dfuse {

// Lists every present DFU-mode interface (class 0xFE, subclass 1, protocol 2), ordered by bus
// number, port path and interface number. An entry is the interface's path for STDFU_Open and
// STDFUPRT_CreateMappingFromDevice, or nothing when the device's location cannot be read.
uint32_t findDfuInterfaces(std::vector<std::optional<std::string>>* paths);

// The USB port path (hub ports from the root hub down) that a path of findDfuInterfaces names;
// nothing for a text that is no such path.
std::optional<std::vector<uint8_t>> devicePortPath(const std::string& path);

}  // namespace dfuse
