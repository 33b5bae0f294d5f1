#pragma once

// The objects behind libusb's opaque types on the virtual bus, and the descriptor helpers the
// libusb entry points share.

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/Bus.h"

struct libusb_context {
    std::vector<libusb_device*> devices;  // not owned: each lives while referenced
    int users = 1;                        // libusb_init calls on the default context
};

struct libusb_device {
    libusb_context* context = nullptr;  // null once the context has ended
    int references = 1;
    std::shared_ptr<sim::Attachment> attachment;
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
    std::vector<int> claimed;
};

namespace sim {

// The 18 bytes of a device descriptor as the device sends them.
std::vector<uint8_t> deviceDescriptorBytes(const libusb_device_descriptor& descriptor);
// A string descriptor (index 0: the language list) as the device sends it; empty when the
// device has none at that index.
std::vector<uint8_t> stringDescriptorBytes(const VirtualDevice& device, uint8_t index);
// Parses a raw configuration descriptor; LIBUSB_ERROR_IO when it is malformed.
int parseConfigDescriptor(const std::vector<uint8_t>& raw, libusb_config_descriptor** config);

}  // namespace sim
