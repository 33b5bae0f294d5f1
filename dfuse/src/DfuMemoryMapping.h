#pragma once

#include <vector>

#include "dfuse/MemoryLayout.h"

// What STDFUPRT_CreateMappingFromDevice hands out behind the opaque DfuMapping pointer: the
// memory of each alternate setting, indexed by alternate setting number.
struct DfuMemoryMapping {
    std::vector<dfuse::MemoryLayout> alternates;
};

namespace dfuse {

// The sector holding `address` in a layout, or null.
const SectorGroup* findSectorGroup(const MemoryLayout& layout, uint32_t address);

// Start of the sector holding `address` (which must lie in `group`).
inline uint32_t sectorStart(const SectorGroup& group, uint32_t address) {
    return group.address + (address - group.address) / group.size * group.size;
}

}  // namespace dfuse
