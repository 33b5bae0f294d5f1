#include "DfuFile.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "Crc32.h"
#include "dfuse/DfuReturnCodes.h"

namespace dfuse {
namespace {

constexpr size_t kPrefixSize = 11;
constexpr size_t kSuffixSize = 16;
constexpr size_t kTargetPrefixSize = 274;
constexpr size_t kElementHeaderSize = 8;
constexpr size_t kTargetNameSize = 255;
constexpr uint16_t kBcdDfuSe = 0x011A;
// No flash we program comes near this; it bounds what a bad path can make us read.
constexpr uintmax_t kMaxFileSize = uintmax_t{256} * 1024 * 1024;

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// A cursor over [pos, end) that refuses to move past end.
class Reader {
  public:
    Reader(const uint8_t* data, size_t begin, size_t end) : data_(data), pos_(begin), end_(end) {}
    size_t left() const { return end_ - pos_; }
    size_t pos() const { return pos_; }
    const uint8_t* take(size_t n) {
        if (n > left())
            return nullptr;
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }

  private:
    const uint8_t* data_;
    size_t pos_;
    size_t end_;
};

uint32_t parseTarget(Reader& reader, DfuImage* image) {
    const uint8_t* prefix = reader.take(kTargetPrefixSize);
    if (!prefix || std::memcmp(prefix, "Target", 6) != 0)
        return kDfuErrorFileTarget;
    image->alternate = prefix[6];
    const bool named = le32(prefix + 7) != 0;
    const uint8_t* name = prefix + 11;
    if (named)
        image->name.assign(name, std::find(name, name + kTargetNameSize, 0));
    const uint32_t targetSize = le32(prefix + 11 + kTargetNameSize);
    const uint32_t elementCount = le32(prefix + 15 + kTargetNameSize);
    if (targetSize > reader.left())
        return kDfuErrorFileTarget;
    Reader elements(reader.take(targetSize), 0, targetSize);
    // Every element needs at least its header, which bounds the count before anything is kept.
    if (elementCount > targetSize / kElementHeaderSize)
        return kDfuErrorFileElement;
    for (uint32_t i = 0; i < elementCount; ++i) {
        const uint8_t* header = elements.take(kElementHeaderSize);
        if (!header)
            return kDfuErrorFileElement;
        ImageElement element;
        element.address = le32(header);
        element.size = le32(header + 4);
        if (uint64_t(element.address) + element.size > 0x100000000ull)
            return kDfuErrorFileElement;
        const uint8_t* data = elements.take(element.size);
        if (!data)
            return kDfuErrorFileElement;
        element.data.assign(data, data + element.size);
        image->elements.push_back(std::move(element));
    }
    // The elements must fill the target exactly, or the sizes disagree.
    if (elements.left() != 0)
        return kDfuErrorFileElement;
    return kDfuSuccess;
}

}  // namespace

uint32_t parseDfuFile(const std::vector<uint8_t>& bytes, DfuFileData* file) {
    const size_t length = bytes.size();
    const uint8_t* data = bytes.data();
    if (length < kPrefixSize)
        return kDfuErrorFileTruncated;
    if (std::memcmp(data, "DfuSe", 5) != 0 || data[5] != 0x01)
        return kDfuErrorFilePrefix;
    // Some writers leave the suffix out of the recorded size; both forms are accepted.
    const uint32_t imageSize = le32(data + 6);
    if (imageSize > length)
        return kDfuErrorFileTruncated;
    if (imageSize != length && imageSize + kSuffixSize != length)
        return kDfuErrorFileSize;
    if (length < kPrefixSize + kSuffixSize)
        return kDfuErrorFileTruncated;

    const uint8_t* suffix = data + length - kSuffixSize;
    if (std::memcmp(suffix + 8, "UFD", 3) != 0 || suffix[11] != kSuffixSize ||
        le16(suffix + 6) != kBcdDfuSe)
        return kDfuErrorFileSuffix;
    if (dfuFileCrc(data, length - 4) != le32(suffix + 12))
        return kDfuErrorFileCrc;

    DfuFileData result;
    result.bcdDevice = le16(suffix);
    result.productId = le16(suffix + 2);
    result.vendorId = le16(suffix + 4);
    const uint8_t targetCount = data[10];
    Reader reader(data, kPrefixSize, length - kSuffixSize);
    for (uint8_t i = 0; i < targetCount; ++i) {
        DfuImage image;
        const uint32_t code = parseTarget(reader, &image);
        if (code != kDfuSuccess)
            return code;
        result.targets.push_back(std::move(image));
    }
    if (reader.left() != 0)
        return kDfuErrorFileSize;
    *file = std::move(result);
    return kDfuSuccess;
}

uint32_t readWholeFile(const char* utf8Path, std::vector<uint8_t>* bytes) {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::u8path(utf8Path);
    if (!std::filesystem::is_regular_file(path, error))
        return kDfuErrorFileOpen;
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (error)
        return kDfuErrorFileOpen;
    if (size > kMaxFileSize)
        return kDfuErrorFileSize;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return kDfuErrorFileOpen;
    bytes->resize(size_t(size));
    in.read(reinterpret_cast<char*>(bytes->data()), std::streamsize(size));
    if (in.gcount() != std::streamsize(size))
        return kDfuErrorFileOpen;
    return kDfuSuccess;
}

}  // namespace dfuse
