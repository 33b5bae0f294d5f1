#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// Parses a memory-layout string; nothing when it is malformed or its sectors run past the
// 32-bit address space.
std::optional<MemoryLayout> parseMemoryLayout(const std::string& text);

// One sector of a layout.
struct Sector {
    uint32_t address = 0;
    uint32_t size = 0;
    uint8_t access = 0;
};

// The sectors that [address, address + size) touches, in address order, as far as the range
// lies in sectors; `outside` is the first address of it that lies in none.
struct SectorWalk {
    std::vector<Sector> sectors;
    std::optional<uint32_t> outside;
};
SectorWalk sectorsTouched(const MemoryLayout& layout, uint32_t address, uint32_t size);

// The first address in [address, address + size) that lies in no sector with all the `access`
// bits, or nothing when the whole range has them.
std::optional<uint32_t> firstAddressWithout(const MemoryLayout& layout, uint32_t address,
                                            uint32_t size, uint8_t access);

}  // namespace dfuse
