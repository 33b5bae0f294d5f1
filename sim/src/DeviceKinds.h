#pragma once

#include <rapidjson/document.h>

#include <functional>
#include <memory>
#include <string>

#include "sim/UnitHardware.h"
#include "sim/VirtualDevice.h"

namespace sim {

// Builds a device of one kind from its scenario entry (the JSON object of that device) over
// the hardware it shares with the other kinds. Throws std::runtime_error on bad options.
using DeviceFactory = std::function<std::shared_ptr<VirtualDevice>(
    const rapidjson::Value& options, std::shared_ptr<UnitHardware> hardware)>;

// The factory of a device kind named in scenario files ("unit", "bootloader"); empty when the
// kind is unknown.
DeviceFactory deviceFactory(const std::string& kind);

}  // namespace sim
