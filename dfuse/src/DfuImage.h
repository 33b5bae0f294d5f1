#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dfuse {

// A run of memory: `size` bytes at `address`. `data` holds them, or is empty in an image
// fitted to erasing, where an element only names a sector.
struct ImageElement {
    uint32_t address = 0;
    uint32_t size = 0;
    std::vector<uint8_t> data;
};

// One memory image: the target of a .dfu file for one alternate setting.
struct DfuImage {
    uint8_t alternate = 0;
    std::string name;
    std::vector<ImageElement> elements;
    // Set by a compare, whose image holds whole sectors that are erased before they are written:
    // a block of only 0xFF is what erased flash holds already, so it is neither sent nor read
    // back.
    bool skipsErasedBlocks = false;
};

// The checked content of a .dfu file.
struct DfuFileData {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    std::vector<DfuImage> targets;
};

}  // namespace dfuse
