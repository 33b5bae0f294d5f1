#pragma once

#include <cstdint>
#include <vector>

#include "DfuImage.h"

namespace dfuse {

// Checks and decodes the bytes of a DfuSe file; returns kDfuSuccess or the code of the first
// fault found. Never reads outside `bytes`.
uint32_t parseDfuFile(const std::vector<uint8_t>& bytes, DfuFileData* file);

// Reads a whole file named by a UTF-8 path.
uint32_t readWholeFile(const char* utf8Path, std::vector<uint8_t>* bytes);

}  // namespace dfuse
