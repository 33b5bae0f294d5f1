#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// One setting of the simulated unit as its catalogue describes it.
struct UnitSetting {
    std::string name;
    uint8_t type = 0;  // the type code without the read-only bit
    uint32_t count = 1;
    uint32_t offset = 0;
    bool readOnly = false;
    bool isConst = false;

    // The two low bits of the code give the element size.
    uint32_t elementSize() const { return 1u << (type & 3); }
    uint32_t byteSize() const { return elementSize() * count; }
};

// Type codes the unit uses; any other code is one the host does not know.
enum UnitType : uint8_t {
    kInt32 = 6,
    kBits64 = 7,
    kText = 12,
    kBool = 28,
    kFloat32 = 30,
    kUnknown = 15,  // 8-byte elements, like the host's stand-in for unknown codes
};

// The settings of the simulated unit, laid out back to back in its value image (the constant
// ones first), and their catalogue in the unit's own CBOR encoding.
class UnitCatalogue {
  public:
    // A settings list like a real unit's: version texts, the boot-loader trigger and a few
    // dozen settings of every type, some read-only, some constant, some arrays.
    static UnitCatalogue standard();

    void add(const std::string& name, uint8_t type, uint32_t count, bool readOnly = false,
             bool isConst = false);

    const std::vector<UnitSetting>& settings() const { return settings_; }
    const UnitSetting* find(const std::string& name) const;
    uint32_t imageSize() const { return imageSize_; }
    // The catalogue: a CBOR map of name -> {"type", "count", "offset", "const"}.
    std::vector<uint8_t> cbor() const;
    // Per image byte: may the host change it (neither read-only nor constant)?
    std::vector<bool> writableMask() const;

  private:
    std::vector<UnitSetting> settings_;
    uint32_t imageSize_ = 0;
};

}  // namespace sim
