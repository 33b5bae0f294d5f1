#pragma once

#include <cstdint>
#include <vector>

// Makes the first unit found in DFU mode on `port` (or below it; anywhere for an empty port)
// leave its boot loader; true on success.
bool returnToNormalOperation(const std::vector<uint8_t>& port = {});
