#include "dfuse/MemoryLayout.h"

#include <algorithm>
#include <cctype>

#include "DfuError.h"
#include "DfuMemoryMapping.h"

namespace dfuse {
namespace {

// A cursor over the layout text; every parse step either consumes what it expects or fails.
class Cursor {
  public:
    explicit Cursor(const std::string& text) : text_(text) {}
    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }
    bool accept(char c) {
        if (peek() != c || atEnd()) {
            return false;
        }
        ++pos_;
        return true;
    }
    bool decimal(uint64_t* value) {
        const size_t start = pos_;
        *value = 0;
        while (!atEnd() && std::isdigit(static_cast<unsigned char>(peek())) && pos_ - start < 10) {
            *value = *value * 10 + uint64_t(text_[pos_++] - '0');
        }
        return pos_ > start && !(std::isdigit(static_cast<unsigned char>(peek())));
    }
    bool hexAddress(uint32_t* value) {
        if (!accept('0') || !(accept('x') || accept('X'))) {
            return false;
        }
        const size_t start = pos_;
        uint64_t v = 0;
        while (std::isxdigit(static_cast<unsigned char>(peek())) && pos_ - start < 8) {
            const char c = text_[pos_++];
            v = v * 16 + uint64_t(std::isdigit(static_cast<unsigned char>(c))
                                      ? c - '0'
                                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        }
        *value = uint32_t(v);
        return pos_ > start && !std::isxdigit(static_cast<unsigned char>(peek()));
    }
    char next() { return atEnd() ? '\0' : text_[pos_++]; }
    size_t pos() const { return pos_; }

  private:
    const std::string& text_;
    size_t pos_ = 0;
};

uint64_t unitMultiplier(char unit) {
    switch (unit) {
        case ' ':
        case 'B':
            return 1;
        case 'K':
            return 1024;
        case 'M':
            return uint64_t{1024} * 1024;
        default:
            return 0;
    }
}

// One "/0xADDRESS/groups" block.
bool parseRegion(Cursor& cursor, MemoryLayout* layout) {
    uint32_t start = 0;
    if (!cursor.accept('/') || !cursor.hexAddress(&start) || !cursor.accept('/')) {
        return false;
    }
    uint64_t address = start;
    do {
        uint64_t count = 0;
        uint64_t size = 0;
        if (!cursor.decimal(&count) || !cursor.accept('*') || !cursor.decimal(&size)) {
            return false;
        }
        const uint64_t multiplier = unitMultiplier(cursor.next());
        const char type = cursor.next();
        if (multiplier == 0 || type < 'a' || type > 'g' || count == 0 || size == 0) {
            return false;
        }
        size *= multiplier;
        // Both must fit their 32-bit fields, which also keeps count * size from wrapping.
        if (count > 0xFFFFFFFFull || size > 0xFFFFFFFFull ||
            address + count * size > 0x100000000ull) {
            return false;
        }
        SectorGroup group;
        group.address = uint32_t(address);
        group.count = uint32_t(count);
        group.size = uint32_t(size);
        group.access = uint8_t(type - 'a' + 1);
        layout->groups.push_back(group);
        address += count * size;
    } while (cursor.accept(','));
    return true;
}

// The sector group holding `address` in a layout, or null.
const SectorGroup* findSectorGroup(const MemoryLayout& layout, uint32_t address) {
    for (const SectorGroup& group : layout.groups) {
        if (address >= group.address &&
            uint64_t(address) < uint64_t(group.address) + uint64_t(group.count) * group.size) {
            return &group;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<MemoryLayout> parseMemoryLayout(const std::string& text) {
    // Devices pad their strings with blanks or NULs at times; those carry nothing.
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\0')) {
        trimmed.pop_back();
    }
    const size_t slash = trimmed.find('/');
    if (trimmed.empty() || trimmed[0] != '@' || slash == std::string::npos) {
        return std::nullopt;
    }
    MemoryLayout result;
    result.name = trimmed.substr(1, slash - 1);
    while (!result.name.empty() && result.name.back() == ' ') {
        result.name.pop_back();
    }
    const std::string rest = trimmed.substr(slash);
    Cursor cursor(rest);
    do {
        if (!parseRegion(cursor, &result)) {
            return std::nullopt;
        }
    } while (!cursor.atEnd());
    return result;
}

MemoryLayout memoryLayoutOf(const std::string& text, uint32_t alternate) {
    std::optional<MemoryLayout> layout = parseMemoryLayout(text);
    if (!layout) {
        fail(kDfuErrorBadMemoryLayout, "alternate setting " + std::to_string(alternate) +
                                           " names its memory \"" + text +
                                           "\", which is no memory layout");
    }
    return std::move(*layout);
}

const MemoryLayout& DfuMemoryMapping::layout(uint32_t alternate) const {
    if (alternate >= alternates.size()) {
        fail(kDfuErrorImageOutsideMemory, "the image is for alternate setting " +
                                              std::to_string(alternate) +
                                              ", which the device lacks");
    }
    return alternates[alternate];
}

SectorWalk sectorsTouched(const MemoryLayout& layout, uint32_t address, uint32_t size) {
    SectorWalk walk;
    const uint64_t end = uint64_t(address) + size;
    for (uint64_t at = address; at < end;) {
        const SectorGroup* group = findSectorGroup(layout, uint32_t(at));
        if (!group) {
            walk.outside = uint32_t(at);
            break;
        }
        Sector sector;
        sector.address =
            group->address + (uint32_t(at) - group->address) / group->size * group->size;
        sector.size = group->size;
        sector.access = group->access;
        walk.sectors.push_back(sector);
        at = uint64_t(sector.address) + sector.size;
    }
    return walk;
}

std::optional<uint32_t> firstAddressWithout(const MemoryLayout& layout, uint32_t address,
                                            uint32_t size, uint8_t access) {
    const SectorWalk walk = sectorsTouched(layout, address, size);
    for (const Sector& sector : walk.sectors) {
        if ((sector.access & access) != access) {
            return std::max(sector.address, address);
        }
    }
    return walk.outside;
}

std::map<uint32_t, Sector> imageSectors(const DfuImage& image, const MemoryLayout& layout,
                                        uint8_t access) {
    std::map<uint32_t, Sector> sectors;
    for (size_t i = 0; i < image.elements.size(); ++i) {
        const ImageElement& element = image.elements[i];
        const std::optional<uint32_t> outside =
            firstAddressWithout(layout, element.address, element.size, access);
        if (outside) {
            fail(kDfuErrorImageOutsideMemory,
                 "element " + std::to_string(i) + " at " + hex32(element.address) + " (" +
                     std::to_string(element.size) + " bytes) reaches " + hex32(*outside) +
                     ", outside the " + (access & kSectorWritable ? "writable " : "") +
                     "sectors of \"" + layout.name + "\"");
        }
        for (const Sector& sector : sectorsTouched(layout, element.address, element.size).sectors) {
            sectors[sector.address] = sector;
        }
    }
    return sectors;
}

std::vector<Sector> erasableSectors(const DfuImage& image, const MemoryLayout& layout) {
    std::vector<Sector> erasable;
    for (const auto& entry : imageSectors(image, layout, 0)) {
        if (entry.second.access & kSectorErasable) {
            erasable.push_back(entry.second);
        }
    }
    return erasable;
}

}  // namespace dfuse
