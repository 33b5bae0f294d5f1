#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The PrettyWriter of this RapidJSON release only compiles with the default write flags, so the
// default is made "write NaN and infinities" for every user of the library (also set on the
// tarnlib target, so that no translation unit sees another default).
#ifndef RAPIDJSON_WRITE_DEFAULT_FLAGS
#define RAPIDJSON_WRITE_DEFAULT_FLAGS kWriteNanAndInfFlag
#endif
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

namespace trn {

// Type codes of a setting; the two lowest bits give the element size (1, 2, 4 or 8 bytes).
enum class SettingType : uint32_t {
    Int32 = 6,     // signed 32-bit integer, little-endian
    Bits64 = 7,    // 8 bytes the host does not interpret
    Text = 12,     // NUL-terminated string buffer of `count` bytes
    Bool = 28,     // one byte, 0 false, anything else true
    Float32 = 30,  // IEEE-754 single, little-endian
    Invalid = 255  // any other code; handled like Bits64
};

// Names of the type codes, beside the enum.
const char* settingTypeName(uint32_t type);

// The known codes pass unchanged; every other code becomes SettingType::Invalid.
uint32_t normalizeSettingType(uint32_t code);

static_assert(rapidjson::kWriteDefaultFlags == rapidjson::kWriteNanAndInfFlag,
              "the settings JSON writers must write NaN and infinities");

// Writers of the settings JSON text: four-space indent, NaN and infinities written as such.
using JsonStringWriter = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

// One setting of a unit: its description from the catalogue and its value bytes.
class Setting {
  public:
    // Whether `count` elements of the type fit a value buffer (non-negative, size within int32).
    static bool sizeFits(uint32_t type, int32_t count);
    // How many bytes of `text` a text setting of `room` bytes keeps: all that fit, and of a valid
    // UTF-8 text only whole characters.
    static size_t textBytesKept(const std::string& text, size_t room);
    // Whether such a setting lies inside the unit's value image, which is addressed with 16-bit
    // offsets and comes in one frame; what a catalogue describes must.
    static bool fitsValueImage(uint32_t type, int32_t count, int32_t offset);

    // Throws std::length_error when the size does not fit (see sizeFits).
    Setting(const std::string& name, uint32_t type, int32_t count, int32_t offset, bool readonly,
            bool isConst);
    // Builds a setting from a JSON description entry; an unusable entry gives an invalid setting
    // (empty name, type 255, count 0, no data).
    Setting(const std::string& name, const rapidjson::Value& description);

    const std::string& name() const { return name_; }
    uint32_t type() const { return type_; }
    int32_t count() const { return count_; }
    int32_t offset() const { return offset_; }
    uint32_t elementSize() const { return 1u << (type_ & 3u); }
    bool readonly() const { return readonly_; }
    bool isConst() const { return isConst_; }
    bool valid() const { return valid_; }
    bool changed() const { return changed_; }
    const std::vector<uint8_t>& data() const { return data_; }

    void setValid(bool valid) { valid_ = valid; }
    void setChanged(bool changed) { changed_ = changed; }

    // Element `index` as a number; NaN when out of range or not interpretable.
    double value(int32_t index) const;
    // Stores element `index` from a number; false when nothing could be stored.
    bool setValue(double value, int32_t index);
    // Whether element `index` holds the number `given` as that number (a Float32 element as the
    // nearest float); true for types that hold no number.
    bool holdsAsGiven(double given, int32_t index) const;
    // The text of a text setting up to its first NUL; empty for other types.
    std::string text() const;
    bool setText(const std::string& text);
    // Takes this setting's bytes from an image slice beginning at image offset `start`; true
    // when a stored byte changed.
    bool applyImage(int32_t start, const std::vector<uint8_t>& image);

    void writeJsonValue(JsonStringWriter& writer) const;
    void writeJsonEntry(JsonStringWriter& writer) const;
    // The value alone, as writeJsonValue writes it.
    std::string valueJson() const;
    // Element `index` of a number setting as writeJsonValue writes it.
    std::string elementJson(int32_t index) const;
    // Takes the value from JSON; the number of elements taken, 0 when not acceptable.
    int32_t setJson(const rapidjson::Value& value);

  private:
    template <typename Writer>
    void writeValue(Writer& writer) const;
    template <typename Writer>
    void writeEntry(Writer& writer) const;
    template <typename Writer>
    void writeElement(Writer& writer, int32_t index) const;
    int32_t elements() const { return static_cast<int32_t>(data_.size() / elementSize()); }

    std::string name_;
    uint32_t type_ = static_cast<uint32_t>(SettingType::Invalid);
    int32_t count_ = 0;
    int32_t offset_ = 0;
    bool readonly_ = false;
    bool isConst_ = false;
    std::vector<uint8_t> data_;
    bool valid_ = false;
    bool changed_ = false;
};

}  // namespace trn
