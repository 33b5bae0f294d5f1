#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "DfuImage.h"
#include "dfuse/DfuOperationContext.h"

namespace fuzz {

// What an update does with a boot loader, in turn, on the device at this path.
inline constexpr uint32_t kBootLoaderOperations[] = {kDfuOperationErase, kDfuOperationUpgrade,
                                                     kDfuOperationLeave};
inline constexpr const char* kBootLoaderPath = "USB-BUS1-PORT1-IF0";

// The firmware image written: one block at the start of the flash.
inline dfuse::DfuImage bootLoaderImage() {
    dfuse::DfuImage image;
    image.elements.push_back({0x08000000, 200, std::vector<uint8_t>(200, 0x5A)});
    return image;
}

// The head of a fuzz_boot_loader input: the shape of the device's DFU interface and the
// class-specific descriptor bytes it carries; the answers follow from `answersAt`.
struct BootLoaderInput {
    static constexpr uint8_t kFirstLayoutString = 4;

    uint8_t alternates = 1;
    bool afterFirst = false;
    std::vector<uint8_t> classBytes;
    size_t answersAt = 0;

    static std::optional<BootLoaderInput> read(const uint8_t* data, size_t size) {
        if (size < 2) {
            return std::nullopt;
        }
        BootLoaderInput input;
        input.alternates = static_cast<uint8_t>((data[0] & 3) + 1);
        input.afterFirst = (data[0] & 4) != 0;
        const size_t length = std::min<size_t>(data[1] % 64, size - 2);
        input.classBytes.assign(data + 2, data + 2 + length);
        input.answersAt = 2 + length;
        return input;
    }

    // The inverse of read, for making seeds.
    std::vector<uint8_t> head() const {
        std::vector<uint8_t> out{static_cast<uint8_t>((alternates - 1) | (afterFirst ? 4 : 0)),
                                 static_cast<uint8_t>(classBytes.size())};
        out.insert(out.end(), classBytes.begin(), classBytes.end());
        return out;
    }

    // Configuration 1 with interface 0 in DFU mode (class 0xFE, subclass 1, protocol 2), one
    // descriptor per alternate setting, named by string kFirstLayoutString + alternate.
    std::vector<uint8_t> configDescriptor() const {
        std::vector<uint8_t> out = {9, 2, 0, 0, 1, 1, 0, 0xC0, 50};
        for (uint8_t alt = 0; alt < alternates; ++alt) {
            const uint8_t iface[] = {
                9, 4, 0, alt, 0, 0xFE, 0x01, 0x02, static_cast<uint8_t>(kFirstLayoutString + alt)};
            out.insert(out.end(), iface, iface + sizeof iface);
            if (afterFirst ? alt == 0 : alt + 1 == alternates) {
                out.insert(out.end(), classBytes.begin(), classBytes.end());
            }
        }
        out[2] = static_cast<uint8_t>(out.size());
        out[3] = static_cast<uint8_t>(out.size() >> 8);
        return out;
    }
};

}  // namespace fuzz
