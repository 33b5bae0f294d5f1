#include "tarnlib/Setting.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "tarnlib/TransportLayer.h"
#include "usb/LittleEndian.h"

namespace trn {

const char* settingTypeName(uint32_t type) {
    switch (static_cast<SettingType>(type)) {
        case SettingType::Int32:
            return "Int32";
        case SettingType::Bits64:
            return "Bits64";
        case SettingType::Text:
            return "Text";
        case SettingType::Bool:
            return "Bool";
        case SettingType::Float32:
            return "Float32";
        default:
            return "Invalid";
    }
}

uint32_t normalizeSettingType(uint32_t code) {
    switch (static_cast<SettingType>(code)) {
        case SettingType::Int32:
        case SettingType::Bits64:
        case SettingType::Text:
        case SettingType::Bool:
        case SettingType::Float32:
            return code;
        default:
            return static_cast<uint32_t>(SettingType::Invalid);
    }
}

bool Setting::sizeFits(uint32_t type, int32_t count) {
    const int64_t bytes = int64_t{count} * (int64_t{1} << (type & 3u));
    return count >= 0 && bytes <= std::numeric_limits<int32_t>::max();
}

bool Setting::fitsValueImage(uint32_t type, int32_t count, int32_t offset) {
    const int64_t end = int64_t{offset} + int64_t{count} * (int64_t{1} << (type & 3u));
    return count >= 0 && offset >= 0 && end <= int64_t{kMaxFramePayload};
}

Setting::Setting(const std::string& name, uint32_t type, int32_t count, int32_t offset,
                 bool readonly, bool isConst)
    : name_(name),
      type_(type),
      count_(count),
      offset_(offset),
      readonly_(readonly),
      isConst_(isConst) {
    if (!sizeFits(type, count)) {
        throw std::length_error("setting size out of range");
    }
    data_.assign(static_cast<size_t>(count) * elementSize(), 0);
}

double Setting::value(int32_t index) const {
    if (index < 0 || index >= elements()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const uint8_t* p = data_.data() + static_cast<size_t>(index) * elementSize();
    switch (static_cast<SettingType>(type_)) {
        case SettingType::Int32: {
            return static_cast<int32_t>(usb::getLe32(p));
        }
        case SettingType::Float32: {
            const uint32_t bits = usb::getLe32(p);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        case SettingType::Bool:
        case SettingType::Text:
            return p[0];
        default:
            return std::numeric_limits<double>::quiet_NaN();
    }
}

namespace {

// Rounds to the nearest float; finite values beyond the float range round to the largest float
// or to infinity as IEEE rounding does, without the undefined out-of-range conversion.
float toFloat(double v) {
    if (std::isfinite(v) && std::fabs(v) > FLT_MAX) {
        const double halfUlpAboveMax = std::ldexp(1.0, 103);
        const float mag = std::fabs(v) >= double{FLT_MAX} + halfUlpAboveMax
                              ? std::numeric_limits<float>::infinity()
                              : FLT_MAX;
        return v < 0 ? -mag : mag;
    }
    return static_cast<float>(v);
}

}  // namespace

bool Setting::setValue(double value, int32_t index) {
    if (index < 0 || index >= elements()) {
        return false;
    }
    uint8_t bytes[4];
    size_t size;
    switch (static_cast<SettingType>(type_)) {
        case SettingType::Int32: {
            int32_t v = std::numeric_limits<int32_t>::min();
            if (value > -2147483649.0 && value < 2147483648.0) {
                v = static_cast<int32_t>(value);
            }
            usb::putLe32(bytes, static_cast<uint32_t>(v));
            size = 4;
            break;
        }
        case SettingType::Bool:
        case SettingType::Text: {
            int16_t v = std::numeric_limits<int16_t>::min();
            if (value > -32769.0 && value < 32768.0) {
                v = static_cast<int16_t>(value);
            }
            bytes[0] = static_cast<uint8_t>(static_cast<uint16_t>(v) & 0xFF);
            size = 1;
            break;
        }
        case SettingType::Float32: {
            const float f = toFloat(value);
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            usb::putLe32(bytes, bits);
            size = 4;
            break;
        }
        default:
            return false;
    }
    uint8_t* p = data_.data() + static_cast<size_t>(index) * elementSize();
    if (std::memcmp(p, bytes, size) != 0) {
        changed_ = true;
    }
    std::memcpy(p, bytes, size);
    return true;
}

std::string Setting::text() const {
    if (type_ != static_cast<uint32_t>(SettingType::Text)) {
        return std::string();
    }
    const auto end = std::find(data_.begin(), data_.end(), uint8_t{0});
    return std::string(data_.begin(), end);
}

namespace {

// Well-formed UTF-8 as RFC 3629 defines it: no overlong forms, surrogates or code points above
// U+10FFFF.
bool isUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t length = 1;
        uint8_t low = 0x80;  // the range of the second byte
        uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else if (lead >= 0x80) {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto byte = static_cast<uint8_t>(text[i + k]);
            if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

}  // namespace

size_t Setting::textBytesKept(const std::string& text, size_t room) {
    if (text.size() <= room) {
        return text.size();
    }
    size_t kept = room;
    // A character cut in two would leave the unit holding text that is no longer UTF-8; a text
    // that was none to begin with is cut where it must be.
    if (isUtf8(text)) {
        while (kept > 0 && (static_cast<uint8_t>(text[kept]) & 0xC0) == 0x80) {
            --kept;
        }
    }
    return kept;
}

bool Setting::setText(const std::string& text) {
    if (type_ != static_cast<uint32_t>(SettingType::Text)) {
        return false;
    }
    // The text with its terminating NUL, cut to the buffer.
    const std::string kept = text.substr(0, textBytesKept(text, data_.size()));
    const size_t n = std::min(kept.size() + 1, data_.size());
    if (n > 0 && std::memcmp(data_.data(), kept.c_str(), n) != 0) {
        changed_ = true;
    }
    if (n > 0) {
        std::memcpy(data_.data(), kept.c_str(), n);
    }
    return true;
}

bool Setting::holdsAsGiven(double given, int32_t index) const {
    const double held = value(index);
    switch (static_cast<SettingType>(type_)) {
        case SettingType::Int32:
        case SettingType::Bool:
            return held == given;
        case SettingType::Float32:
            // A float holds the nearest float; only a number beyond its range becomes another.
            if (std::isnan(given)) {
                return std::isnan(held);
            }
            return std::isinf(held) == std::isinf(given) && (held == 0) == (given == 0);
        default:
            return true;
    }
}

bool Setting::applyImage(int32_t start, const std::vector<uint8_t>& image) {
    // 64-bit arithmetic: offsets and sizes from the unit may lie anywhere in the 32-bit range.
    const int64_t low = std::max<int64_t>(start, offset_);
    const int64_t high = std::min<int64_t>(int64_t{start} + static_cast<int64_t>(image.size()),
                                           int64_t{offset_} + static_cast<int64_t>(data_.size()));
    if (high <= low) {
        return false;
    }
    const uint8_t* src = image.data() + (low - start);
    uint8_t* dst = data_.data() + (low - offset_);
    const size_t n = static_cast<size_t>(high - low);
    if (std::memcmp(src, dst, n) == 0) {
        return false;
    }
    std::memcpy(dst, src, n);
    return true;
}

}  // namespace trn
