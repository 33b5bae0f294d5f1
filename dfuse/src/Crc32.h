#pragma once

#include <cstddef>
#include <cstdint>

namespace dfuse {

// Reflected CRC-32 (polynomial 0xEDB88320), initial value 0xFFFFFFFF, no final XOR: the
// checksum of a .dfu file suffix.
uint32_t dfuFileCrc(const uint8_t* data, size_t length);

}  // namespace dfuse
