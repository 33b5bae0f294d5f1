#include "Checksum.h"

namespace trn {

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7;

inline uint32_t step(const uint32_t* table, uint32_t crc, uint8_t byte) {
    return (crc << 8) ^ table[(crc >> 24) ^ byte];
}

}  // namespace

bool crc32InitTable(uint32_t* table, int count) {
    if (table == nullptr || count < 256) {
        return false;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 0x80000000u) != 0 ? (c << 1) ^ kPolynomial : c << 1;
        }
        table[i] = c;
    }
    return true;
}

uint32_t crc32Update(const uint32_t* table, uint32_t crc, const uint8_t* data, unsigned length) {
    const unsigned whole = length - length % 4;
    for (unsigned i = 0; i < whole; i += 4) {
        // The hardware takes a little-endian word most significant byte first.
        crc = step(table, crc, data[i + 3]);
        crc = step(table, crc, data[i + 2]);
        crc = step(table, crc, data[i + 1]);
        crc = step(table, crc, data[i]);
    }
    const unsigned rest = length - whole;
    if (rest != 0) {
        for (unsigned i = rest; i < 4; ++i) {
            crc = step(table, crc, 0);
        }
        for (unsigned i = length; i > whole; --i) {
            crc = step(table, crc, data[i - 1]);
        }
    }
    return crc;
}

uint32_t crc32Frame(const uint32_t* table, const uint8_t* data, unsigned length) {
    return crc32Update(table, 0xFFFFFFFFu, data, length);
}

}  // namespace trn
