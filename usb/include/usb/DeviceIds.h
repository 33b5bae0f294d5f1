#pragma once

#include <cstdint>

namespace usb {

// The USB IDs this tool deals with: the units in normal operation, and the STM32 system memory
// boot loader that the units restart into for an update. The udev rule is written from these
// lines when the project is configured.
constexpr uint16_t kUnitVendorId = 0x6444;
constexpr uint16_t kUnitProductId = 0x0001;
constexpr uint16_t kBootloaderVendorId = 0x0483;
constexpr uint16_t kBootloaderProductId = 0xDF11;

}  // namespace usb
