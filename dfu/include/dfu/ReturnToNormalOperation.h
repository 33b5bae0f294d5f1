#pragma once

#include "usb/PortPath.h"

namespace dfu {

// Makes the first unit found in DFU mode on `port` (or below it; anywhere for an empty port)
// leave its boot loader; true on success.
bool returnToNormalOperation(const usb::PortPath& port = {});

}  // namespace dfu
