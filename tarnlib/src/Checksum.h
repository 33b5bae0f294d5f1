#pragma once

#include <cstdint>

// The frame checksum: the CRC-32 of the unit's hardware CRC unit (polynomial 0x04C11DB7, not
// reflected, start 0xFFFFFFFF, no final XOR), fed with the data as little-endian 32-bit words.

namespace trn {

// Fills `table` with the 256 entries of the non-reflected table. Writes nothing and returns
// false when `table` is null or `count` is below 256.
bool crc32InitTable(uint32_t* table, int count);

// Runs `length` bytes through the register starting at `crc`. A trailing partial word is taken
// as zero-extended, as the unit's word-wide hardware sees it.
uint32_t crc32Update(const uint32_t* table, uint32_t crc, const uint8_t* data, unsigned length);

// The checksum of a frame: crc32Update from 0xFFFFFFFF.
uint32_t crc32Frame(const uint32_t* table, const uint8_t* data, unsigned length);

}  // namespace trn
