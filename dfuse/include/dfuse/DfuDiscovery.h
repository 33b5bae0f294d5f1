#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dfuse {

// One entry per DFU-mode interface: its path for STDFU_Open and STDFUPRT_CreateMappingFromDevice
// ("USB-BUS<bus>-PORT<a.b.c>-IF<interface>"), or nothing when the device's location cannot be
// read.
using DfuInterfacePaths = std::vector<std::optional<std::string>>;

// Lists every present DFU-mode interface (class 0xFE, subclass 1, protocol 2), ordered by bus
// number, port path and interface number; nothing when the USB library cannot start
// (lastErrorDetail says why).
std::optional<DfuInterfacePaths> findDfuInterfaces();

// The USB port path (hub ports from the root hub down) that a path of findDfuInterfaces names;
// nothing for a text that is no such path.
std::optional<std::vector<uint8_t>> devicePortPath(const std::string& path);

}  // namespace dfuse
