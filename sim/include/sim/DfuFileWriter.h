#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// One block of memory content placed at an address.
struct DfuElement {
    uint32_t address = 0;
    std::vector<uint8_t> data;
};

// The elements meant for one alternate setting (memory) of the device.
struct DfuTarget {
    uint8_t alternateSetting = 0;
    std::string name;  // empty: the target is unnamed
    std::vector<DfuElement> elements;
};

// The device a file is meant for; 0xFFFF matches any.
struct DfuFileIds {
    uint16_t vendor = 0x0483;
    uint16_t product = 0xDF11;
    uint16_t device = 0xFFFF;
};

// The CRC stored in a DfuSe file suffix: reflected CRC-32 with initial value 0xFFFFFFFF and no
// final XOR.
uint32_t dfuFileCrc(const uint8_t* data, size_t size);

// The bytes of a DfuSe file: prefix, targets with their elements, suffix and CRC. Throws
// std::invalid_argument for a target name longer than 254 bytes.
std::vector<uint8_t> buildDfuFile(const std::vector<DfuTarget>& targets,
                                  const DfuFileIds& ids = {});

// A file with one unnamed target for alternate setting 0 holding `image` at `address`.
std::vector<uint8_t> buildDfuFile(uint32_t address, const std::vector<uint8_t>& image);

// An example firmware image of `size` bytes in the layout UnitHardware describes: a vector table,
// the version tag, filler that differs per version and the code's CRC. Code stops at the
// settings sector; the default size covers that sector blank, so programming it wipes the
// unit's saved settings. `filled`: past the settings sector the image holds data too (tables
// and resources such as a real firmware carries), not blank flash. Throws std::invalid_argument
// when the version does not fit.
std::vector<uint8_t> makeExampleFirmware(const std::string& version, size_t size = 48 * 1024,
                                         bool filled = false);

}  // namespace sim
