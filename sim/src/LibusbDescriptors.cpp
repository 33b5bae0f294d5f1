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

namespace {

size_t interfaceIndex(const std::vector<uint8_t>& numbers, uint8_t number) {
    return static_cast<size_t>(std::find(numbers.begin(), numbers.end(), number) - numbers.begin());
}

// Checks the descriptor chain as libusb does; the interface numbers in order of appearance, or
// nothing for a chain that libusb would refuse.
std::optional<std::vector<uint8_t>> interfaceNumbersOf(const uint8_t* bytes, size_t total) {
    std::vector<uint8_t> numbers;
    for (size_t pos = bytes[0]; pos < total;) {
        const uint8_t length = bytes[pos];
        if (length < 2 || pos + length > total) {
            return std::nullopt;
        }
        if (bytes[pos + 1] == LIBUSB_DT_INTERFACE) {
            if (length < LIBUSB_DT_INTERFACE_SIZE) {
                return std::nullopt;
            }
            if (interfaceIndex(numbers, bytes[pos + 2]) == numbers.size()) {
                numbers.push_back(bytes[pos + 2]);
            }
        } else if (bytes[pos + 1] == LIBUSB_DT_ENDPOINT && length < LIBUSB_DT_ENDPOINT_SIZE) {
            return std::nullopt;
        }
        pos += length;
    }
    return numbers;
}

// Sizes every array before any pointer into one is taken, so that none moves afterwards: the
// alternate settings per interface and the endpoints per alternate setting.
void sizeArrays(ParsedConfig& parsed, const std::vector<uint8_t>& numbers) {
    const uint8_t* bytes = parsed.raw.data();
    const size_t total = parsed.raw.size();
    parsed.interfaces.resize(numbers.size());
    parsed.alternates.resize(numbers.size());
    parsed.endpoints.resize(numbers.size());
    std::vector<libusb_endpoint_descriptor>* current = nullptr;
    for (size_t pos = bytes[0]; pos < total; pos += bytes[pos]) {
        if (bytes[pos + 1] == LIBUSB_DT_INTERFACE) {
            const size_t i = interfaceIndex(numbers, bytes[pos + 2]);
            parsed.alternates[i].emplace_back();
            current = &parsed.endpoints[i].emplace_back();
        } else if (bytes[pos + 1] == LIBUSB_DT_ENDPOINT && current) {
            current->emplace_back();
        }
    }
}

void fillConfig(libusb_config_descriptor& c, const uint8_t* d, size_t interfaceCount) {
    c.bLength = d[0];
    c.bDescriptorType = d[1];
    c.wTotalLength = le16(&d[2]);
    c.bNumInterfaces = static_cast<uint8_t>(interfaceCount);
    c.bConfigurationValue = d[5];
    c.iConfiguration = d[6];
    c.bmAttributes = d[7];
    c.MaxPower = d[8];
}

void fillAlternate(libusb_interface_descriptor& a, const uint8_t* d,
                   std::vector<libusb_endpoint_descriptor>& endpoints) {
    a.bLength = d[0];
    a.bDescriptorType = d[1];
    a.bInterfaceNumber = d[2];
    a.bAlternateSetting = d[3];
    a.bNumEndpoints = static_cast<uint8_t>(endpoints.size());
    a.bInterfaceClass = d[5];
    a.bInterfaceSubClass = d[6];
    a.bInterfaceProtocol = d[7];
    a.iInterface = d[8];
    a.endpoint = endpoints.empty() ? nullptr : endpoints.data();
}

void fillEndpoint(libusb_endpoint_descriptor& e, const uint8_t* d) {
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
}

// Fills in the descriptors and their extra bytes, into the arrays `sizeArrays` made.
void fillDescriptors(ParsedConfig& parsed, const std::vector<uint8_t>& numbers) {
    const uint8_t* bytes = parsed.raw.data();
    const size_t total = parsed.raw.size();
    libusb_config_descriptor& c = parsed.config;
    fillConfig(c, bytes, numbers.size());
    c.interface = parsed.interfaces.data();
    ExtraTarget target{&c.extra, &c.extra_length};
    std::vector<size_t> seen(numbers.size(), 0);
    std::vector<libusb_endpoint_descriptor>* endpoints = nullptr;
    size_t endpointIndex = 0;
    for (size_t pos = bytes[0]; pos < total; pos += bytes[pos]) {
        const uint8_t* d = bytes + pos;
        if (d[1] == LIBUSB_DT_INTERFACE) {
            const size_t i = interfaceIndex(numbers, d[2]);
            const size_t a = seen[i]++;
            libusb_interface_descriptor& alternate = parsed.alternates[i][a];
            endpoints = &parsed.endpoints[i][a];
            endpointIndex = 0;
            fillAlternate(alternate, d, *endpoints);
            parsed.interfaces[i].altsetting = parsed.alternates[i].data();
            parsed.interfaces[i].num_altsetting = static_cast<int>(seen[i]);
            target = {&alternate.extra, &alternate.extra_length};
        } else if (d[1] == LIBUSB_DT_ENDPOINT && endpoints) {
            libusb_endpoint_descriptor& e = (*endpoints)[endpointIndex++];
            fillEndpoint(e, d);
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
}

}  // namespace

int parseConfigDescriptor(const std::vector<uint8_t>& raw, libusb_config_descriptor** result) {
    if (raw.size() < LIBUSB_DT_CONFIG_SIZE || raw[0] < LIBUSB_DT_CONFIG_SIZE ||
        raw[1] != LIBUSB_DT_CONFIG) {
        return LIBUSB_ERROR_IO;
    }
    auto parsed = std::make_unique<ParsedConfig>();
    const size_t total = std::min<size_t>(le16(&raw[2]), raw.size());
    parsed->raw.assign(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(total));
    const std::optional<std::vector<uint8_t>> numbers =
        interfaceNumbersOf(parsed->raw.data(), total);
    if (!numbers) {
        return LIBUSB_ERROR_IO;
    }
    sizeArrays(*parsed, *numbers);
    fillDescriptors(*parsed, *numbers);
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
