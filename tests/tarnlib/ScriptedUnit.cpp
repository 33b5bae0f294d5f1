#include "ScriptedUnit.h"

#include <algorithm>
#include <array>

#include "Checksum.h"
#include "sim/Bus.h"

ScriptedUnit::ScriptedUnit(uint16_t bcdDevice, std::optional<std::string> productName)
    : product(std::move(productName)) {
    descriptor.bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor.bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor.bcdUSB = 0x0200;
    descriptor.bMaxPacketSize0 = 64;
    descriptor.idVendor = 0x6444;
    descriptor.idProduct = 0x0001;
    descriptor.bcdDevice = bcdDevice;
    descriptor.iProduct = 2;
    descriptor.bNumConfigurations = 1;
}

std::vector<uint8_t> ScriptedUnit::configDescriptor() const {
    // One configuration, interface 0 with bulk OUT 0x02 and bulk IN 0x81.
    return {9,
            LIBUSB_DT_CONFIG,
            32,
            0,
            1,
            1,
            0,
            0x80,
            50,
            9,
            LIBUSB_DT_INTERFACE,
            0,
            0,
            2,
            0xFF,
            0,
            0,
            0,
            7,
            LIBUSB_DT_ENDPOINT,
            0x02,
            0x02,
            64,
            0,
            0,
            7,
            LIBUSB_DT_ENDPOINT,
            0x81,
            0x02,
            64,
            0,
            0};
}

std::optional<std::string> ScriptedUnit::stringDescriptor(uint8_t index) const {
    if (index == descriptor.iProduct) {
        return product;
    }
    return std::nullopt;
}

int ScriptedUnit::open() {
    ++opens;
    return openResult;
}

int ScriptedUnit::setConfiguration(int value) {
    configuration = value;
    return configurationResult;
}

int ScriptedUnit::claimInterface(int interfaceNumber) {
    claims += interfaceNumber == 0 ? 1 : 1000;
    return claimResult;
}

int ScriptedUnit::releaseInterface(int interfaceNumber) {
    releases += interfaceNumber == 0 ? 1 : 1000;
    return LIBUSB_SUCCESS;
}

int ScriptedUnit::control(const sim::ControlSetup& setup, uint8_t*, unsigned) {
    controls.push_back(setup);
    streaming = false;
    if (controlResult < 0) {
        return controlResult;
    }
    const auto reply = replies.find(setup.bRequest);
    if (reply != replies.end()) {
        in.insert(in.end(), reply->second.begin(), reply->second.end());
    }
    return 0;
}

int ScriptedUnit::bulk(uint8_t endpoint, uint8_t* data, int length, int* transferred,
                       unsigned timeoutMs) {
    if ((endpoint & LIBUSB_ENDPOINT_IN) == 0) {
        writes.emplace_back(data, data + length);
        *transferred = outTransferred < 0 ? length : outTransferred;
        return outResult;
    }
    reads.push_back({length, timeoutMs});
    if (in.empty() && streaming) {
        in.push_back({std::vector<uint8_t>(64, 0x55)});
    }
    if (in.empty()) {
        *transferred = 0;
        return LIBUSB_ERROR_TIMEOUT;
    }
    const Packet packet = in.front();
    in.pop_front();
    const int size = static_cast<int>(packet.data.size());
    std::copy_n(packet.data.begin(), std::min(size, length), data);
    *transferred = std::min(size, length);
    return packet.result;
}

std::vector<uint8_t> ScriptedUnit::frame(const std::vector<uint8_t>& payload, uint16_t kind) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        crc32InitTable(t.data(), 256);
        return t;
    }();
    const size_t n = payload.size();
    std::vector<uint8_t> bytes(n + 8);
    bytes[0] = static_cast<uint8_t>(n);
    bytes[1] = static_cast<uint8_t>(n >> 8);
    bytes[2] = static_cast<uint8_t>(kind);
    bytes[3] = static_cast<uint8_t>(kind >> 8);
    std::copy(payload.begin(), payload.end(), bytes.begin() + 4);
    const uint32_t crc = crc32Frame(table.data(), bytes.data(), static_cast<unsigned>(n + 4));
    for (size_t i = 0; i < 4; ++i) {
        bytes[n + 4 + i] = static_cast<uint8_t>(crc >> (8 * i));
    }
    return bytes;
}

std::vector<ScriptedUnit::Packet> ScriptedUnit::packets(const std::vector<uint8_t>& bytes) {
    std::vector<Packet> result;
    for (size_t at = 0; at < bytes.size(); at += 64) {
        const size_t end = std::min(bytes.size(), at + 64);
        result.push_back({std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + end)});
    }
    if (bytes.size() % 64 == 0) {
        result.push_back({});
    }
    return result;
}

std::shared_ptr<ScriptedUnit> plugUnit(const std::vector<uint8_t>& port,
                                       std::shared_ptr<ScriptedUnit> unit) {
    if (!unit) {
        unit = std::make_shared<ScriptedUnit>();
    }
    sim::Bus::instance().attach(1, port, unit);
    return unit;
}
