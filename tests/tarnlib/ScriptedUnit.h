#pragma once

#include <libusb.h>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/VirtualDevice.h"

// A unit on the virtual bus whose every answer the test sets, and which records what the host
// asked of it: the transport's framing and error paths are driven through the real libusb calls.
class ScriptedUnit : public sim::VirtualDevice {
  public:
    // One answer to a bulk IN transfer.
    struct Packet {
        std::vector<uint8_t> data;
        int result = LIBUSB_SUCCESS;
    };

    explicit ScriptedUnit(uint16_t bcdDevice = 0x0250,
                          std::optional<std::string> product = std::string("Unit"));

    // A frame as a unit sends it, and its packets as they leave the IN endpoint (with the
    // zero-length packet that ends a transfer of whole packets unless `zlp` is false).
    static std::vector<uint8_t> frame(const std::vector<uint8_t>& payload, uint16_t kind = 0x0102);
    static std::vector<Packet> packets(const std::vector<uint8_t>& frameBytes, bool zlp = true);

    // Sets the answer that the unit sends after each control request `request`.
    void replyTo(uint8_t request, std::vector<Packet> answer) { replies[request] = answer; }

    libusb_device_descriptor deviceDescriptor() const override { return descriptor; }
    std::vector<uint8_t> configDescriptor() const override;
    std::optional<std::string> stringDescriptor(uint8_t index) const override {
        return index == descriptor.iProduct ? product : std::nullopt;
    }
    int open() override {
        ++opens;
        return openResult;
    }
    int control(const sim::ControlSetup& setup, uint8_t* data, unsigned timeoutMs) override;
    int bulk(uint8_t endpoint, uint8_t* data, int length, int* transferred,
             unsigned timeoutMs) override;

    libusb_device_descriptor descriptor{};
    std::optional<std::string> product;
    int openResult = LIBUSB_SUCCESS;
    int controlResult = LIBUSB_SUCCESS;
    int outResult = LIBUSB_SUCCESS;
    int outTransferred = -1;  // below 0: all of it

    std::map<uint8_t, std::vector<Packet>> replies;
    std::deque<Packet> in;

    std::vector<sim::ControlSetup> controls;
    std::vector<int> packetReads;  // lengths asked for with the 200 ms packet time-out
    std::vector<std::vector<uint8_t>> writes;
    int opens = 0;
};
