#pragma once

#include <cstdint>
#include <vector>

#include "DfuImage.h"

namespace dfuse {

// Checks and decodes the bytes of a DfuSe file; the first fault found is raised as a DfuError
// that says what is wrong and at which offset. Never reads outside `bytes`.
DfuFileData parseDfuFile(const std::vector<uint8_t>& bytes);

// Reads a whole file named by a UTF-8 path; a DfuError when it cannot.
std::vector<uint8_t> readWholeFile(const char* utf8Path);

}  // namespace dfuse
