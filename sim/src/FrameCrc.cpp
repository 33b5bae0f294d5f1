#include "FrameCrc.h"

namespace sim {
namespace {

// Feeds one word into the register bit by bit, as the peripheral does.
uint32_t feedWord(uint32_t crc, uint32_t word) {
    crc ^= word;
    for (int bit = 0; bit < 32; ++bit) {
        crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

}  // namespace

uint32_t FrameCrc::compute(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t word = 0;
        for (size_t b = 0; b < 4 && i + b < length; ++b) {
            word |= uint32_t{data[i + b]} << (8 * b);
        }
        crc = feedWord(crc, word);
    }
    return crc;
}

}  // namespace sim
