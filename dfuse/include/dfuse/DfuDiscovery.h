#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "usb/PortPath.h"

namespace dfuse {

// The bus and hub ports that a path of STDFU_GetDevicePaths names; nothing for a text that is
// no such path.
std::optional<usb::PortPath> devicePortPath(const std::string& path);

}  // namespace dfuse
