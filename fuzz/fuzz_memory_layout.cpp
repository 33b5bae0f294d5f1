// Parses arbitrary text as a DfuSe memory-layout string, as a boot loader names an alternate
// setting, and looks up addresses in what it accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "dfuse/MemoryLayout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<dfuse::MemoryLayout> parsed = dfuse::parseMemoryLayout(text);
    if (!parsed) {
        return 0;
    }
    const dfuse::MemoryLayout& layout = *parsed;
    // Accepted sectors stay inside the 32-bit address space, so walks over them cannot wrap.
    for (const dfuse::SectorGroup& group : layout.groups) {
        const uint64_t end = uint64_t(group.address) + uint64_t(group.count) * group.size;
        if (end > 0x100000000ull) {
            std::abort();
        }
        if (group.count != 0 && group.size != 0 &&
            dfuse::sectorsTouched(layout, group.address, 1).outside) {
            std::abort();
        }
        dfuse::sectorsTouched(layout, static_cast<uint32_t>(end - 1), 1);
    }
    return 0;
}
