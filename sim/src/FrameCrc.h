#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// The checksum the unit's STM32 CRC peripheral gives over a frame: CRC-32 with polynomial
// 0x04C11DB7, not reflected, start 0xFFFFFFFF, no final XOR, fed 32-bit little-endian words
// (a last partial word zero-extended).
class FrameCrc {
  public:
    static uint32_t compute(const uint8_t* data, size_t length);
};

}  // namespace sim
