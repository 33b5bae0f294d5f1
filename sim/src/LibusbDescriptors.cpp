#include <libusb.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LibusbObjects.h"
#include "sim/VirtualClock.h"

namespace sim {
namespace {

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Owns everything a parsed configuration descriptor points to. The `extra` pointers point into
// `raw`, which is never resized after parsing.
struct ParsedConfig {
    libusb_config_descriptor config{};
    std::vector<uint8_t> raw;
    std::vector<libusb_interface> interfaces;
    std::vector<std::vector<libusb_interface_descriptor>> alternates;             // per interface
    std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;  // per alternate
};

std::map<const libusb_config_descriptor*, std::unique_ptr<ParsedConfig>>& parsedConfigs() {
    static auto* configs =
        new std::map<const libusb_config_descriptor*, std::unique_ptr<ParsedConfig>>;
    return *configs;
}

// Where the class-specific bytes being read belong.
struct ExtraTarget {
    const unsigned char** extra = nullptr;
    int* length = nullptr;
};

}  // namespace

std::vector<uint8_t> deviceDescriptorBytes(const libusb_device_descriptor& d) {
    return {LIBUSB_DT_DEVICE_SIZE,
            LIBUSB_DT_DEVICE,
            static_cast<uint8_t>(d.bcdUSB),
            static_cast<uint8_t>(d.bcdUSB >> 8),
            d.bDeviceClass,
            d.bDeviceSubClass,
            d.bDeviceProtocol,
            d.bMaxPacketSize0,
            static_cast<uint8_t>(d.idVendor),
            static_cast<uint8_t>(d.idVendor >> 8),
            static_cast<uint8_t>(d.idProduct),
            static_cast<uint8_t>(d.idProduct >> 8),
            static_cast<uint8_t>(d.bcdDevice),
            static_cast<uint8_t>(d.bcdDevice >> 8),
            d.iManufacturer,
            d.iProduct,
            d.iSerialNumber,
            d.bNumConfigurations};
}

std::vector<uint8_t> stringDescriptorBytes(const VirtualDevice& device, uint8_t index) {
    if (index == 0) {
        return {4, LIBUSB_DT_STRING, 0x09, 0x04};  // English (United States)
    }
    std::optional<std::string> text = device.stringDescriptor(index);
    if (!text) {
        return {};
    }
    // Latin-1 text to UTF-16LE; a descriptor holds at most 126 characters.
    size_t count = std::min<size_t>(text->size(), 126);
    std::vector<uint8_t> bytes{static_cast<uint8_t>(2 + 2 * count), LIBUSB_DT_STRING};
    for (size_t i = 0; i < count; ++i) {
        bytes.push_back(static_cast<uint8_t>((*text)[i]));
        bytes.push_back(0);
    }
    return bytes;
}

int parseConfigDescriptor(const std::vector<uint8_t>& raw, libusb_config_descriptor** result) {
    if (raw.size() < LIBUSB_DT_CONFIG_SIZE || raw[0] < LIBUSB_DT_CONFIG_SIZE ||
        raw[1] != LIBUSB_DT_CONFIG) {
        return LIBUSB_ERROR_IO;
    }
    auto parsed = std::make_unique<ParsedConfig>();
    size_t total = std::min<size_t>(le16(&raw[2]), raw.size());
    parsed->raw.assign(raw.begin(), raw.begin() + total);
    const uint8_t* bytes = parsed->raw.data();

    // First pass: validate the descriptor chain and size every array, so that no vector moves
    // once pointers into it are taken.
    std::vector<int> interfaceNumbers;
    for (size_t pos = bytes[0]; pos < total;) {
        uint8_t length = bytes[pos];
        if (length < 2 || pos + length > total) {
            return LIBUSB_ERROR_IO;
        }
        if (bytes[pos + 1] == LIBUSB_DT_INTERFACE) {
            if (length < LIBUSB_DT_INTERFACE_SIZE) {
                return LIBUSB_ERROR_IO;
            }
            if (std::find(interfaceNumbers.begin(), interfaceNumbers.end(), bytes[pos + 2]) ==
                interfaceNumbers.end()) {
                interfaceNumbers.push_back(bytes[pos + 2]);
            }
        } else if (bytes[pos + 1] == LIBUSB_DT_ENDPOINT && length < LIBUSB_DT_ENDPOINT_SIZE) {
            return LIBUSB_ERROR_IO;
        }
        pos += length;
    }
    size_t interfaceCount = interfaceNumbers.size();
    parsed->interfaces.resize(interfaceCount);
    parsed->alternates.resize(interfaceCount);
    parsed->endpoints.resize(interfaceCount);
    for (size_t pos = bytes[0]; pos < total; pos += bytes[pos]) {
        if (bytes[pos + 1] == LIBUSB_DT_INTERFACE) {
            size_t i = std::find(interfaceNumbers.begin(), interfaceNumbers.end(), bytes[pos + 2]) -
                       interfaceNumbers.begin();
            parsed->alternates[i].emplace_back();
            parsed->endpoints[i].emplace_back();
        }
    }
    // Endpoint counts per alternate setting, in order of appearance.
    {
        std::vector<size_t> seen(interfaceCount, 0);
        std::vector<libusb_endpoint_descriptor>* current = nullptr;
        for (size_t pos = bytes[0]; pos < total; pos += bytes[pos]) {
            if (bytes[pos + 1] == LIBUSB_DT_INTERFACE) {
                size_t i =
                    std::find(interfaceNumbers.begin(), interfaceNumbers.end(), bytes[pos + 2]) -
                    interfaceNumbers.begin();
                current = &parsed->endpoints[i][seen[i]++];
            } else if (bytes[pos + 1] == LIBUSB_DT_ENDPOINT && current) {
                current->emplace_back();
            }
        }
    }

    // Second pass: fill in the descriptors and their extra bytes.
    libusb_config_descriptor& c = parsed->config;
    c.bLength = bytes[0];
    c.bDescriptorType = bytes[1];
    c.wTotalLength = le16(&bytes[2]);
    c.bNumInterfaces = static_cast<uint8_t>(interfaceCount);
    c.bConfigurationValue = bytes[5];
    c.iConfiguration = bytes[6];
    c.bmAttributes = bytes[7];
    c.MaxPower = bytes[8];
    c.interface = parsed->interfaces.data();
    ExtraTarget target{&c.extra, &c.extra_length};
    std::vector<size_t> seen(interfaceCount, 0);
    libusb_interface_descriptor* alternate = nullptr;
    size_t endpointIndex = 0;
    std::vector<libusb_endpoint_descriptor>* endpoints = nullptr;
    for (size_t pos = bytes[0]; pos < total; pos += bytes[pos]) {
        const uint8_t* d = bytes + pos;
        if (d[1] == LIBUSB_DT_INTERFACE) {
            size_t i = std::find(interfaceNumbers.begin(), interfaceNumbers.end(), d[2]) -
                       interfaceNumbers.begin();
            size_t a = seen[i]++;
            alternate = &parsed->alternates[i][a];
            endpoints = &parsed->endpoints[i][a];
            endpointIndex = 0;
            alternate->bLength = d[0];
            alternate->bDescriptorType = d[1];
            alternate->bInterfaceNumber = d[2];
            alternate->bAlternateSetting = d[3];
            alternate->bNumEndpoints = static_cast<uint8_t>(endpoints->size());
            alternate->bInterfaceClass = d[5];
            alternate->bInterfaceSubClass = d[6];
            alternate->bInterfaceProtocol = d[7];
            alternate->iInterface = d[8];
            alternate->endpoint = endpoints->empty() ? nullptr : endpoints->data();
            parsed->interfaces[i].altsetting = parsed->alternates[i].data();
            parsed->interfaces[i].num_altsetting = static_cast<int>(seen[i]);
            target = {&alternate->extra, &alternate->extra_length};
        } else if (d[1] == LIBUSB_DT_ENDPOINT && endpoints) {
            libusb_endpoint_descriptor& e = (*endpoints)[endpointIndex++];
            e.bLength = d[0];
            e.bDescriptorType = d[1];
            e.bEndpointAddress = d[2];
            e.bmAttributes = d[3];
            e.wMaxPacketSize = le16(&d[4]);
            e.bInterval = d[6];
            if (d[0] >= LIBUSB_DT_ENDPOINT_AUDIO_SIZE) {
                e.bRefresh = d[7];
                e.bSynchAddress = d[8];
            }
            target = {&e.extra, &e.extra_length};
        } else {
            // Class-specific bytes (such as a DFU functional descriptor) go to the descriptor
            // they follow; consecutive ones form one block.
            if (*target.length == 0) {
                *target.extra = d;
            }
            *target.length += d[0];
        }
    }
    *result = &parsed->config;
    VirtualClock::Lock lock;
    parsedConfigs()[&parsed->config] = std::move(parsed);
    return LIBUSB_SUCCESS;
}

}  // namespace sim

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* config) {
    if (config == nullptr) {
        return;
    }
    sim::VirtualClock::Lock lock;
    sim::parsedConfigs().erase(config);
}
