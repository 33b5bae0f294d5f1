#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class VirtualDevice;

// What survives a restart of a simulated unit: its flash memory (the firmware) and the settings
// it saved. The unit in normal operation and the boot loader are two models over one piece of
// hardware; each re-enumerates as the other through the factories below.
struct UnitHardware {
    static constexpr uint32_t kFlashBase = 0x08000000;
    static constexpr uint32_t kFlashSize = 1024 * 1024;
    // A firmware image names its version after this marker, NUL-terminated.
    static constexpr const char kVersionMarker[] = "QUOREL-FIRMWARE-VERSION:";

    std::vector<uint8_t> flash = std::vector<uint8_t>(kFlashSize, 0xFF);
    // The value image the unit stored on commit; empty until the first commit.
    std::vector<uint8_t> savedSettings;

    // The version text of the firmware in flash; empty when no marker is found, in which case
    // the unit cannot start and the chip stays in its boot loader.
    std::string firmwareVersion() const;

    std::function<std::shared_ptr<VirtualDevice>(std::shared_ptr<UnitHardware>)> makeUnit;
    std::function<std::shared_ptr<VirtualDevice>(std::shared_ptr<UnitHardware>)> makeBootloader;
};

}  // namespace sim
