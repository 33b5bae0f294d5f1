#include "sim/DfuFileWriter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "sim/UnitHardware.h"

namespace sim {
namespace {

constexpr size_t kTargetNameSize = 255;
constexpr size_t kSuffixSize = 16;

void putU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

void setU32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

void putText(std::vector<uint8_t>& out, const char* text) {
    out.insert(out.end(), text, text + std::strlen(text));
}

// The DFU suffix's CRC-32, written here from the USB DFU 1.1 document rather than taken from the
// product's dfuse library: files the simulator makes must catch a slip in the product's check.
std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}

}  // namespace

uint32_t dfuFileCrc(const uint8_t* data, size_t size) {
    static const std::array<uint32_t, 256> table = makeCrcTable();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

std::vector<uint8_t> buildDfuFile(const std::vector<DfuTarget>& targets, const DfuFileIds& ids) {
    if (targets.size() > 255) {
        throw std::invalid_argument("a DfuSe file holds at most 255 targets");
    }
    std::vector<uint8_t> out;
    putText(out, "DfuSe");
    out.push_back(0x01);
    putU32(out, 0);  // image size, filled in below
    out.push_back(static_cast<uint8_t>(targets.size()));

    for (const DfuTarget& target : targets) {
        if (target.name.size() >= kTargetNameSize) {
            throw std::invalid_argument("target name too long");
        }
        putText(out, "Target");
        out.push_back(target.alternateSetting);
        putU32(out, target.name.empty() ? 0 : 1);
        std::vector<uint8_t> name(kTargetNameSize, 0);
        std::memcpy(name.data(), target.name.data(), target.name.size());
        out.insert(out.end(), name.begin(), name.end());
        const size_t sizeAt = out.size();
        putU32(out, 0);  // target size, filled in below
        putU32(out, static_cast<uint32_t>(target.elements.size()));
        const size_t elementsStart = out.size();
        for (const DfuElement& element : target.elements) {
            putU32(out, element.address);
            putU32(out, static_cast<uint32_t>(element.data.size()));
            out.insert(out.end(), element.data.begin(), element.data.end());
        }
        setU32(out, sizeAt, static_cast<uint32_t>(out.size() - elementsStart));
    }

    putU16(out, ids.device);
    putU16(out, ids.product);
    putU16(out, ids.vendor);
    putU16(out, 0x011A);
    putText(out, "UFD");
    out.push_back(static_cast<uint8_t>(kSuffixSize));
    setU32(out, 6, static_cast<uint32_t>(out.size() + 4));
    putU32(out, dfuFileCrc(out.data(), out.size()));
    return out;
}

std::vector<uint8_t> buildDfuFile(uint32_t address, const std::vector<uint8_t>& image) {
    DfuTarget target;
    target.elements.push_back(DfuElement{address, image});
    return buildDfuFile({target});
}

std::vector<uint8_t> makeExampleFirmware(const std::string& version, size_t size, bool filled) {
    const std::string marker = UnitHardware::kVersionMarker;
    const size_t kVectorTableSize = 0x188;
    // Code ends where the settings sector begins; beyond it the image is blank.
    const size_t codeSize =
        std::min<size_t>(size, UnitHardware::kSettingsAddress - UnitHardware::kFlashBase);
    const size_t tagSize = marker.size() + version.size() + 1 + 4;
    if (version.empty() || version.find('\0') != std::string::npos ||
        codeSize < kVectorTableSize + tagSize + 4) {
        throw std::invalid_argument("example firmware: bad version or size too small");
    }

    std::vector<uint8_t> image(size, 0xFF);
    // Filler from a generator seeded by the version, so that two versions differ almost
    // everywhere and a host that skips erasing leaves visibly wrong bits.
    uint32_t state = 2166136261u;
    for (char c : version) {
        state = (state ^ static_cast<uint8_t>(c)) * 16777619u;
    }
    const size_t dataStart =
        UnitHardware::kSettingsAddress + UnitHardware::kSettingsSize - UnitHardware::kFlashBase;
    for (size_t i = 0; i < size; ++i) {
        if (i == codeSize) {
            i = filled ? std::max(i, dataStart) : size;
            if (i >= size) {
                break;
            }
        }
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        image[i] = static_cast<uint8_t>(state);
    }
    // Vector table: initial stack pointer at the top of SRAM, Thumb reset handler after it.
    std::vector<uint8_t> vectors;
    putU32(vectors, 0x20020000u);
    putU32(vectors, UnitHardware::kFlashBase + kVectorTableSize + 1);
    std::memcpy(image.data(), vectors.data(), vectors.size());

    size_t at = kVectorTableSize;
    std::memcpy(image.data() + at, marker.data(), marker.size());
    at += marker.size();
    std::memcpy(image.data() + at, version.data(), version.size());
    at += version.size();
    image[at++] = 0;
    setU32(image, at, static_cast<uint32_t>(codeSize));
    setU32(image, codeSize - 4, dfuFileCrc(image.data(), codeSize - 4));
    return image;
}

}  // namespace sim
