#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class VirtualDevice;

// What survives a restart of a simulated unit: its flash memory, which holds the firmware and,
// in one sector, the settings the unit saved. The unit in normal operation and the boot loader
// are two models over one piece of hardware; each re-enumerates as the other through the
// factories below.
//
// A firmware image starts with its vector table; after it come kVersionMarker, the version
// text, a NUL and the image's code length (u32 LE); the last 4 bytes of the code are the DfuSe
// file CRC of the code before them. Code never reaches into the settings sector: an image that
// covers it ships it blank (0xFF), so programming it wipes the saved settings.
struct UnitHardware {
    static constexpr uint32_t kFlashBase = 0x08000000;
    static constexpr uint32_t kFlashSize = 1024 * 1024;
    // Sector 2 (16 KiB) of the STM32F405/407 keeps the saved settings.
    static constexpr uint32_t kSettingsAddress = 0x08008000;
    static constexpr uint32_t kSettingsSize = 16 * 1024;
    static constexpr const char kVersionMarker[] = "QUOREL-FIRMWARE-VERSION:";

    std::vector<uint8_t> flash = std::vector<uint8_t>(kFlashSize, 0xFF);
    // How often the unit's firmware has started on this hardware (kept in the state file).
    unsigned unitStarts = 0;

    // The version of the firmware image starting at `address`; empty when there is no intact
    // image there (no marker, a code length that does not fit, or a wrong CRC), in which case
    // the unit cannot start and the chip stays in its boot loader.
    std::string firmwareVersion(uint32_t address = kFlashBase) const;

    // The value image the unit saved while running `version`; empty when the settings sector is
    // blank, damaged, or was written by another firmware version.
    std::vector<uint8_t> savedSettings(const std::string& version) const;
    // The firmware erases the settings sector and writes the image with the running version.
    void saveSettings(const std::vector<uint8_t>& image, const std::string& version);
    // The saved value image whatever the version that wrote it (for the state file).
    std::vector<uint8_t> savedSettingsRecord() const;

    std::function<std::shared_ptr<VirtualDevice>(std::shared_ptr<UnitHardware>)> makeUnit;
    std::function<std::shared_ptr<VirtualDevice>(std::shared_ptr<UnitHardware>)> makeBootloader;
};

}  // namespace sim
