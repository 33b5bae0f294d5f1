#include "DfuFile.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "Crc32.h"
#include "DfuError.h"
#include "usb/LittleEndian.h"

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

using usb::getLe16;
using usb::getLe32;

// A cursor over [pos, end) that refuses to move past end.
class Reader {
  public:
    Reader(const uint8_t* data, size_t begin, size_t end) : data_(data), pos_(begin), end_(end) {}
    size_t left() const { return end_ - pos_; }
    size_t pos() const { return pos_; }
    const uint8_t* take(size_t n) {
        if (n > left()) {
            return nullptr;
        }
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }

  private:
    const uint8_t* data_;
    size_t pos_;
    size_t end_;
};

std::string at(size_t offset) {
    return " at offset " + std::to_string(offset);
}

// One element of a target: its header and its data. `element` names it in a failure.
ImageElement parseElement(Reader& elements, const std::string& element) {
    const uint8_t* header = elements.take(kElementHeaderSize);
    if (!header) {
        fail(kDfuErrorFileElement, element + ": its header runs past the target");
    }
    ImageElement item;
    item.address = getLe32(header);
    item.size = getLe32(header + 4);
    if (uint64_t(item.address) + item.size > 0x100000000ull) {
        fail(kDfuErrorFileElement, element + ": " + std::to_string(item.size) + " bytes at " +
                                       hex32(item.address) + " run past 4 GiB");
    }
    const uint8_t* data = elements.take(item.size);
    if (!data) {
        fail(kDfuErrorFileElement, element + ": its size " + std::to_string(item.size) +
                                       " runs past the target (" + std::to_string(elements.left()) +
                                       " bytes left)");
    }
    item.data.assign(data, data + item.size);
    return item;
}

DfuImage parseTarget(Reader& reader, unsigned index) {
    const std::string target = "target " + std::to_string(index) + at(reader.pos());
    const uint8_t* prefix = reader.take(kTargetPrefixSize);
    if (!prefix) {
        fail(kDfuErrorFileTarget, target + ": its " + std::to_string(kTargetPrefixSize) +
                                      "-byte prefix runs past the data (" +
                                      std::to_string(reader.left()) + " bytes left)");
    }
    if (std::memcmp(prefix, "Target", 6) != 0) {
        fail(kDfuErrorFileTarget, target + ": no \"Target\" signature");
    }
    DfuImage image;
    image.alternate = prefix[6];
    const bool named = getLe32(prefix + 7) != 0;
    const uint8_t* name = prefix + 11;
    if (named) {
        image.name.assign(name, std::find(name, name + kTargetNameSize, 0));
    }
    const uint32_t targetSize = getLe32(prefix + 11 + kTargetNameSize);
    const uint32_t elementCount = getLe32(prefix + 15 + kTargetNameSize);
    if (targetSize > reader.left()) {
        fail(kDfuErrorFileTarget, target + ": its size " + std::to_string(targetSize) +
                                      " runs past the data (" + std::to_string(reader.left()) +
                                      " bytes left)");
    }
    const size_t base = reader.pos();
    Reader elements(reader.take(targetSize), 0, targetSize);
    // Every element needs at least its header, which bounds the count before anything is kept.
    if (elementCount > targetSize / kElementHeaderSize) {
        fail(kDfuErrorFileElement, target + ": " + std::to_string(elementCount) +
                                       " elements cannot fit in its " + std::to_string(targetSize) +
                                       " bytes");
    }
    for (uint32_t i = 0; i < elementCount; ++i) {
        const std::string element =
            target + ", element " + std::to_string(i) + at(base + elements.pos());
        image.elements.push_back(parseElement(elements, element));
    }
    // The elements must fill the target exactly, or the sizes disagree.
    if (elements.left() != 0) {
        fail(kDfuErrorFileElement, target + ": its elements fill " +
                                       std::to_string(targetSize - elements.left()) + " of its " +
                                       std::to_string(targetSize) + " bytes");
    }
    return image;
}

}  // namespace

DfuFileData parseDfuFile(const std::vector<uint8_t>& bytes) {
    const size_t length = bytes.size();
    const uint8_t* data = bytes.data();
    const std::string size = "the file has " + std::to_string(length) + " bytes";
    if (length < kPrefixSize) {
        fail(kDfuErrorFileTruncated, size + ", fewer than its 11-byte prefix");
    }
    if (std::memcmp(data, "DfuSe", 5) != 0 || data[5] != 0x01) {
        fail(kDfuErrorFilePrefix, "the prefix at offset 0 is not \"DfuSe\" version 1");
    }
    // Some writers leave the suffix out of the recorded size; both forms are accepted.
    const uint32_t imageSize = getLe32(data + 6);
    const std::string recorded = "the prefix gives its size as " + std::to_string(imageSize);
    if (imageSize > length) {
        fail(kDfuErrorFileTruncated, recorded + " but " + size);
    }
    if (imageSize != length && imageSize + kSuffixSize != length) {
        fail(kDfuErrorFileSize, recorded + " but " + size);
    }
    if (length < kPrefixSize + kSuffixSize) {
        fail(kDfuErrorFileTruncated, size + ", too few for its prefix and 16-byte suffix");
    }

    const size_t suffixAt = length - kSuffixSize;
    const uint8_t* suffix = data + suffixAt;
    if (std::memcmp(suffix + 8, "UFD", 3) != 0 || suffix[11] != kSuffixSize ||
        getLe16(suffix + 6) != kBcdDfuSe) {
        fail(kDfuErrorFileSuffix,
             "the suffix" + at(suffixAt) + " lacks \"UFD\", its length 16 or bcdDFU 0x011A");
    }
    const uint32_t computed = dfuFileCrc(data, length - 4);
    if (computed != getLe32(suffix + 12)) {
        fail(kDfuErrorFileCrc, "the suffix CRC" + at(length - 4) + " is " +
                                   hex32(getLe32(suffix + 12)) + " but the file's bytes give " +
                                   hex32(computed) + " (the file is damaged)");
    }

    DfuFileData result;
    result.bcdDevice = getLe16(suffix);
    result.productId = getLe16(suffix + 2);
    result.vendorId = getLe16(suffix + 4);
    const uint8_t targetCount = data[10];
    Reader reader(data, kPrefixSize, suffixAt);
    for (unsigned i = 0; i < targetCount; ++i) {
        result.targets.push_back(parseTarget(reader, i));
    }
    if (reader.left() != 0) {
        fail(kDfuErrorFileSize, std::to_string(reader.left()) + " bytes" + at(reader.pos()) +
                                    " follow the last target");
    }
    return result;
}

std::vector<uint8_t> readWholeFile(const char* utf8Path) {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::u8path(utf8Path);
    if (!std::filesystem::is_regular_file(path, error)) {
        fail(kDfuErrorFileOpen, "no regular file of that name" +
                                    (error ? " (" + error.message() + ")" : std::string()));
    }
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (error) {
        fail(kDfuErrorFileOpen, "its size cannot be read (" + error.message() + ")");
    }
    if (size > kMaxFileSize) {
        fail(kDfuErrorFileSize, "the file has " + std::to_string(size) +
                                    " bytes, more than any flash it could be for");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail(kDfuErrorFileOpen, "it cannot be opened for reading");
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(size));
    if (in.gcount() != std::streamsize(size)) {
        fail(kDfuErrorFileOpen, "reading it stopped after " + std::to_string(in.gcount()) + " of " +
                                    std::to_string(size) + " bytes");
    }
    return bytes;
}

}  // namespace dfuse
