#include "sim/UnitCatalogue.h"

namespace sim {
namespace {

// A CBOR head: major type and argument in the shortest form.
void head(std::vector<uint8_t>& out, uint8_t major, uint64_t value) {
    uint8_t m = static_cast<uint8_t>(major << 5);
    if (value < 24) {
        out.push_back(m | static_cast<uint8_t>(value));
        return;
    }
    int bytes = value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFFFFu ? 4 : 8;
    out.push_back(m | (bytes == 1 ? 24 : bytes == 2 ? 25 : bytes == 4 ? 26 : 27));
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void text(std::vector<uint8_t>& out, const std::string& s) {
    head(out, 3, s.size());
    out.insert(out.end(), s.begin(), s.end());
}

}  // namespace

void UnitCatalogue::add(const std::string& name, uint8_t type, uint32_t count, bool readOnly,
                        bool isConst) {
    UnitSetting setting{name, type, count, imageSize_, readOnly, isConst};
    imageSize_ += setting.byteSize();
    settings_.push_back(setting);
}

UnitCatalogue UnitCatalogue::standard() {
    UnitCatalogue c;
    // Constant identification first, so that the writable part starts above offset 0.
    c.add("Version: Firmware", kText, 32, true, true);
    c.add("Version: VIO", kText, 16, true, true);
    c.add("Version: Hardware UID", kText, 32, true, true);
    c.add("Board revision", kInt32, 1, false, true);
    c.add("trigger bootloader", kBool, 1);
    c.add("Device name", kText, 24);
    c.add("Location", kText, 40);
    c.add("Operating mode", kInt32, 1);
    c.add("Feature flags", kBits64, 1);
    for (int n = 1; n <= 4; ++n) {
        std::string output = "Output " + std::to_string(n) + ": ";
        c.add(output + "enabled", kBool, 1);
        c.add(output + "mode", kInt32, 1);
        c.add(output + "gain", kFloat32, 1);
        c.add(output + "label", kText, 12);
    }
    c.add("Calibration table", kFloat32, 8);
    c.add("Channel enable", kBool, 6);
    c.add("Thresholds", kInt32, 4);
    c.add("Network address", kText, 16);
    c.add("Watchdog timeout ms", kInt32, 1);
    c.add("Legacy counters", kUnknown, 2);
    c.add("Uptime seconds", kInt32, 1, true);
    c.add("Temperature", kFloat32, 1, true);
    c.add("Error counters", kInt32, 4, true);
    c.add("Last fault", kText, 20, true);
    c.add("Factory options", kBits64, 2, true);
    // Free text longer than 255 bytes, so that a write record needs both bytes of its length.
    c.add("Notes", kText, 300);
    return c;
}

const UnitSetting* UnitCatalogue::find(const std::string& name) const {
    for (const UnitSetting& s : settings_) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

std::vector<uint8_t> UnitCatalogue::cbor() const {
    std::vector<uint8_t> out;
    head(out, 5, settings_.size());
    for (const UnitSetting& s : settings_) {
        text(out, s.name);
        head(out, 5, 4);
        text(out, "type");
        head(out, 0, s.type | (s.readOnly ? 0x80 : 0));
        text(out, "count");
        head(out, 0, s.count);
        text(out, "offset");
        head(out, 0, s.offset);
        text(out, "const");
        out.push_back(s.isConst ? 0xF5 : 0xF4);  // simple values true / false
    }
    return out;
}

std::vector<bool> UnitCatalogue::writableMask() const {
    std::vector<bool> mask(imageSize_, false);
    for (const UnitSetting& s : settings_) {
        if (!s.readOnly && !s.isConst) {
            for (uint32_t i = 0; i < s.byteSize(); ++i) {
                mask[s.offset + i] = true;
            }
        }
    }
    return mask;
}

}  // namespace sim
