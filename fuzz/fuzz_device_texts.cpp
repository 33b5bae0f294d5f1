// The texts that name memory and devices: a boot loader's memory-layout strings (the name of an
// alternate setting), the --port text and dfuse's device paths. What each parser accepts is
// checked against what it promises.
//
// Input: one byte choosing the parser (its value modulo 3), then the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "DevicePath.h"
#include "dfuse/MemoryLayout.h"
#include "usb/PortPath.h"

namespace {

// Accepted sectors stay inside the 32-bit address space, so walks over them cannot wrap.
void memoryLayout(const std::string& text) {
    const std::optional<dfuse::MemoryLayout> parsed = dfuse::parseMemoryLayout(text);
    if (!parsed) {
        return;
    }
    for (const dfuse::SectorGroup& group : parsed->groups) {
        const uint64_t end = uint64_t(group.address) + uint64_t(group.count) * group.size;
        if (group.count == 0 || group.size == 0 || end > 0x100000000ull) {
            std::abort();
        }
        if (dfuse::sectorsTouched(*parsed, group.address, 1).outside) {
            std::abort();
        }
        dfuse::sectorsTouched(*parsed, static_cast<uint32_t>(end - 1), 1);
        dfuse::firstAddressWithout(*parsed, group.address, group.size, dfuse::kSectorWritable);
    }
}

// A path that is accepted prints as a text that reads back as the same path.
void portPath(const std::string& text) {
    const std::optional<usb::PortPath> parsed = usb::PortPath::parse(text);
    if (!parsed) {
        return;
    }
    if (parsed->ports.empty() || parsed->ports.size() > usb::PortPath::kMaxPorts ||
        usb::PortPath::parse(parsed->textWithBus()) != parsed || !parsed->covers(*parsed)) {
        std::abort();
    }
}

void devicePath(const std::string& text) {
    const std::optional<dfuse::DevicePath> parsed = dfuse::DevicePath::parse(text);
    if (!parsed) {
        return;
    }
    const std::optional<dfuse::DevicePath> again = dfuse::DevicePath::parse(parsed->text());
    if (!again || again->bus != parsed->bus || again->ports != parsed->ports ||
        again->interfaceNumber != parsed->interfaceNumber) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0:
            memoryLayout(text);
            break;
        case 1:
            portPath(text);
            break;
        default:
            devicePath(text);
            break;
    }
    return 0;
}
