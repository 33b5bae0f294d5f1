#pragma once

#include <map>
#include <string>
#include <vector>

#include "DfuImage.h"
#include "dfuse/MemoryLayout.h"

namespace dfuse {

// What a mapping handle of STDFUPRT_CreateMappingFromDevice stands for: the memory of each
// alternate setting, indexed by alternate setting number.
struct DfuMemoryMapping {
    std::vector<MemoryLayout> alternates;

    // The layout of alternate setting `alternate`; a DfuError (kDfuErrorImageOutsideMemory)
    // when the device lacks it.
    const MemoryLayout& layout(uint32_t alternate) const;
};

// The layout that alternate setting `alternate` names in `text`; a DfuError when it is none.
MemoryLayout memoryLayoutOf(const std::string& text, uint32_t alternate);

// Every sector the image's data touches, once, by address: the one walk that erasing and
// writing plan with. Data outside the memory, or in sectors without all the `access` bits, is
// refused with a DfuError naming the element.
std::map<uint32_t, Sector> imageSectors(const DfuImage& image, const MemoryLayout& layout,
                                        uint8_t access);

// The sectors an erase of the image's data clears, in address order: those it touches that can
// be erased. Sectors that cannot (such as one-time memory) are programmed without erasing.
std::vector<Sector> erasableSectors(const DfuImage& image, const MemoryLayout& layout);

}  // namespace dfuse
