// Parses arbitrary text as a DfuSe memory-layout string, as a boot loader names an alternate
// setting, and looks up addresses in what it accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "DfuMemoryMapping.h"
#include "dfuse/DfuReturnCodes.h"
#include "dfuse/MemoryLayout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    dfuse::MemoryLayout layout;
    if (dfuse::parseMemoryLayout(text, &layout) != kDfuSuccess) {
        return 0;
    }
    // Accepted sectors stay inside the 32-bit address space, so lookups cannot wrap.
    for (const dfuse::SectorGroup& group : layout.groups) {
        const uint64_t end = uint64_t(group.address) + uint64_t(group.count) * group.size;
        if (end > 0x100000000ull) {
            std::abort();
        }
        if (group.count != 0 && group.size != 0) {
            const dfuse::SectorGroup* found = dfuse::findSectorGroup(layout, group.address);
            if (found == nullptr) {
                std::abort();
            }
            dfuse::findSectorGroup(layout, static_cast<uint32_t>(end - 1));
        }
    }
    return 0;
}
