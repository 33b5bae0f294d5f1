#pragma once

#include <map>
#include <string>
#include <vector>

#include "DfuImage.h"
#include "dfuse/MemoryLayout.h"

// What STDFUPRT_CreateMappingFromDevice hands out behind the opaque DfuMapping pointer: the
// memory of each alternate setting, indexed by alternate setting number.
struct DfuMemoryMapping {
    std::vector<dfuse::MemoryLayout> alternates;
};

namespace dfuse {

// The layout that alternate setting `alternate` names in `text`; a DfuError when it is none.
MemoryLayout memoryLayoutOf(const std::string& text, uint32_t alternate);

// Every sector the image's data touches, once, by address: the one walk that erasing and
// writing plan with. Data outside the memory, or in sectors without all the `access` bits, is
// refused with a DfuError naming the element.
std::map<uint32_t, Sector> imageSectors(const DfuImage& image, const MemoryLayout& layout,
                                        uint8_t access);

}  // namespace dfuse
