#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dfuse/StdfuPrt.h"

namespace dfuse {

// Access bits of a sector, from the type letter of a memory-layout string.
enum SectorAccess : uint8_t {
    kSectorReadable = 1,
    kSectorErasable = 2,
    kSectorWritable = 4,
};

// `count` consecutive sectors of `size` bytes starting at `address`.
struct SectorGroup {
    uint32_t address = 0;
    uint32_t count = 0;
    uint32_t size = 0;
    uint8_t access = 0;
};

// One alternate setting's memory: "@Internal Flash  /0x08000000/04*016Kg,01*064Kg".
struct MemoryLayout {
    std::string name;  // without "@" and trailing blanks
    std::vector<SectorGroup> groups;
};

// Parses a memory-layout string; kDfuErrorBadMemoryLayout when it is malformed or its sectors
// run past the 32-bit address space.
uint32_t parseMemoryLayout(const std::string& text, MemoryLayout* layout);

// The first address in [address, address + size) that lies in no sector with all the `access`
// bits, or nothing when the whole range has them.
std::optional<uint32_t> firstAddressWithout(const MemoryLayout& layout, uint32_t address,
                                            uint32_t size, uint8_t access);

// The layout of alternate setting `alternate` in a mapping.
uint32_t mappingLayout(DfuMapping mapping, uint32_t alternate, MemoryLayout* layout);

}  // namespace dfuse
