// Parses arbitrary bytes as a .dfu file. The first input byte chooses fix-ups that let the
// fuzzer past the signatures, the recorded size and the checksum to the targets and elements.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Crc32.h"
#include "DfuError.h"
#include "DfuFile.h"
#include "dfuse/DfuReturnCodes.h"

namespace {

constexpr size_t kPrefixSize = 11;
constexpr size_t kSuffixSize = 16;

void putLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t fixes = data[0];
    std::vector<uint8_t> bytes(data + 1, data + size);
    if ((fixes & 1) != 0 && bytes.size() >= kPrefixSize + kSuffixSize) {
        std::memcpy(bytes.data(), "DfuSe\x01", 6);
        uint8_t* suffix = bytes.data() + bytes.size() - kSuffixSize;
        suffix[6] = 0x1A;
        suffix[7] = 0x01;
        std::memcpy(suffix + 8, "UFD", 3);
        suffix[11] = kSuffixSize;
    }
    if ((fixes & 2) != 0 && bytes.size() >= kPrefixSize + kSuffixSize) {
        putLe32(bytes.data() + 6, static_cast<uint32_t>(bytes.size() - ((fixes & 8) ? 0 : 16)));
    }
    if ((fixes & 4) != 0 && bytes.size() >= kPrefixSize + kSuffixSize) {
        putLe32(bytes.data() + bytes.size() - 4, dfuse::dfuFileCrc(bytes.data(), bytes.size() - 4));
    }
    dfuse::DfuFileData file;
    try {
        file = dfuse::parseDfuFile(bytes);
    } catch (const dfuse::DfuError&) {
        return 0;
    }
    // What the parser accepts lies inside the file and inside the 32-bit address space.
    size_t payload = 0;
    for (const dfuse::DfuImage& image : file.targets) {
        for (const dfuse::ImageElement& element : image.elements) {
            if (element.data.size() != element.size ||
                uint64_t(element.address) + element.size > 0x100000000ull) {
                std::abort();
            }
            payload += element.size;
        }
    }
    if (payload > bytes.size()) {
        std::abort();
    }
    return 0;
}
