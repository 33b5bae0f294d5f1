#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dfuse {

// The USB port path (hub ports from the root hub down) that a path of STDFU_GetDevicePaths
// names; nothing for a text that is no such path.
std::optional<std::vector<uint8_t>> devicePortPath(const std::string& path);

}  // namespace dfuse
