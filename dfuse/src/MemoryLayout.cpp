#include "dfuse/MemoryLayout.h"

#include <cctype>

#include "DfuMemoryMapping.h"
#include "dfuse/DfuReturnCodes.h"

namespace dfuse {
namespace {

// A cursor over the layout text; every parse step either consumes what it expects or fails.
class Cursor {
  public:
    explicit Cursor(const std::string& text) : text_(text) {}
    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }
    bool accept(char c) {
        if (peek() != c || atEnd())
            return false;
        ++pos_;
        return true;
    }
    bool decimal(uint64_t* value) {
        const size_t start = pos_;
        *value = 0;
        while (!atEnd() && std::isdigit(static_cast<unsigned char>(peek())) && pos_ - start < 10)
            *value = *value * 10 + uint64_t(text_[pos_++] - '0');
        return pos_ > start && !(std::isdigit(static_cast<unsigned char>(peek())));
    }
    bool hexAddress(uint32_t* value) {
        if (!accept('0') || !(accept('x') || accept('X')))
            return false;
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
    if (!cursor.accept('/') || !cursor.hexAddress(&start) || !cursor.accept('/'))
        return false;
    uint64_t address = start;
    do {
        uint64_t count = 0;
        uint64_t size = 0;
        if (!cursor.decimal(&count) || !cursor.accept('*') || !cursor.decimal(&size))
            return false;
        const uint64_t multiplier = unitMultiplier(cursor.next());
        const char type = cursor.next();
        if (multiplier == 0 || type < 'a' || type > 'g' || count == 0 || size == 0)
            return false;
        size *= multiplier;
        if (size > 0xFFFFFFFFull || address + count * size > 0x100000000ull)
            return false;
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

}  // namespace

uint32_t parseMemoryLayout(const std::string& text, MemoryLayout* layout) {
    // Devices pad their strings with blanks or NULs at times; those carry nothing.
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\0'))
        trimmed.pop_back();
    const size_t slash = trimmed.find('/');
    if (trimmed.empty() || trimmed[0] != '@' || slash == std::string::npos)
        return kDfuErrorBadMemoryLayout;
    MemoryLayout result;
    result.name = trimmed.substr(1, slash - 1);
    while (!result.name.empty() && result.name.back() == ' ')
        result.name.pop_back();
    const std::string rest = trimmed.substr(slash);
    Cursor cursor(rest);
    do {
        if (!parseRegion(cursor, &result))
            return kDfuErrorBadMemoryLayout;
    } while (!cursor.atEnd());
    *layout = std::move(result);
    return kDfuSuccess;
}

uint32_t mappingLayout(DfuMapping mapping, uint32_t alternate, MemoryLayout* layout) {
    if (!mapping || !layout)
        return kDfuErrorInvalidArgument;
    if (alternate >= mapping->alternates.size())
        return kDfuErrorInvalidArgument;
    *layout = mapping->alternates[alternate];
    return kDfuSuccess;
}

const SectorGroup* findSectorGroup(const MemoryLayout& layout, uint32_t address) {
    for (const SectorGroup& group : layout.groups) {
        if (address >= group.address &&
            uint64_t(address) < uint64_t(group.address) + uint64_t(group.count) * group.size)
            return &group;
    }
    return nullptr;
}

std::optional<uint32_t> firstAddressWithout(const MemoryLayout& layout, uint32_t address,
                                            uint32_t size, uint8_t access) {
    const uint64_t end = uint64_t(address) + size;
    for (uint64_t at = address; at < end;) {
        const SectorGroup* group = findSectorGroup(layout, uint32_t(at));
        if (!group || (group->access & access) != access)
            return uint32_t(at);
        at = uint64_t(sectorStart(*group, uint32_t(at))) + group->size;
    }
    return std::nullopt;
}

}  // namespace dfuse
