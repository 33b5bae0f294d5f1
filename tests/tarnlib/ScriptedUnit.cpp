#include "ScriptedUnit.h"

#include <algorithm>
#include <array>

#include "Checksum.h"

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
    // clang-format off
    return {9, LIBUSB_DT_CONFIG, 32, 0, 1, 1, 0, 0x80, 50,
            9, LIBUSB_DT_INTERFACE, 0, 0, 2, 0xFF, 0, 0, 0,
            7, LIBUSB_DT_ENDPOINT, 0x02, 0x02, 64, 0, 0,
            7, LIBUSB_DT_ENDPOINT, 0x81, 0x02, 64, 0, 0};
    // clang-format on
}

int ScriptedUnit::control(const sim::ControlSetup& setup, uint8_t*, unsigned) {
    controls.push_back(setup);
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
    if (timeoutMs == 200) {
        packetReads.push_back(length);
    }
    *transferred = 0;
    if (in.empty()) {
        return LIBUSB_ERROR_TIMEOUT;
    }
    const Packet packet = in.front();
    in.pop_front();
    *transferred = std::min(static_cast<int>(packet.data.size()), length);
    std::copy_n(packet.data.begin(), *transferred, data);
    return packet.result;
}

std::vector<uint8_t> ScriptedUnit::frame(const std::vector<uint8_t>& payload, uint16_t kind) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        crc32InitTable(t.data(), 256);
        return t;
    }();
    const size_t n = payload.size();
    std::vector<uint8_t> bytes{static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                               static_cast<uint8_t>(kind), static_cast<uint8_t>(kind >> 8)};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    const uint32_t crc = crc32Frame(table.data(), bytes.data(), static_cast<unsigned>(n + 4));
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    }
    return bytes;
}

std::vector<ScriptedUnit::Packet> ScriptedUnit::packets(const std::vector<uint8_t>& bytes,
                                                        bool zlp) {
    std::vector<Packet> result;
    for (size_t at = 0; at < bytes.size(); at += 64) {
        const size_t end = std::min(bytes.size(), at + 64);
        result.push_back({std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + end)});
    }
    if (zlp && bytes.size() % 64 == 0) {
        result.push_back({});
    }
    return result;
}
