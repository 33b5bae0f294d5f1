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
    struct Read {
        int length;
        unsigned timeoutMs;
    };

    explicit ScriptedUnit(uint16_t bcdDevice = 0x0250,
                          std::optional<std::string> product = std::string("Unit"));

    // A frame as a unit sends it, and its packets as they leave the IN endpoint (with the
    // zero-length packet that ends a transfer of whole packets).
    static std::vector<uint8_t> frame(const std::vector<uint8_t>& payload, uint16_t kind = 0x0102);
    static std::vector<Packet> packets(const std::vector<uint8_t>& frameBytes);

    // Queues the answer that the unit sends after control request `request`.
    void replyTo(uint8_t request, std::vector<Packet> packets) { replies[request] = packets; }
    void replyFrame(uint8_t request, const std::vector<uint8_t>& payload) {
        replyTo(request, packets(frame(payload)));
    }

    libusb_device_descriptor deviceDescriptor() const override { return descriptor; }
    std::vector<uint8_t> configDescriptor() const override;
    std::optional<std::string> stringDescriptor(uint8_t index) const override;
    int open() override;
    void close() override { ++closes; }
    int setConfiguration(int configuration) override;
    int claimInterface(int interfaceNumber) override;
    int releaseInterface(int interfaceNumber) override;
    int reset() override { return resetResult; }
    int control(const sim::ControlSetup& setup, uint8_t* data, unsigned timeoutMs) override;
    int bulk(uint8_t endpoint, uint8_t* data, int length, int* transferred,
             unsigned timeoutMs) override;

    libusb_device_descriptor descriptor{};
    std::optional<std::string> product;
    int openResult = LIBUSB_SUCCESS;
    int configurationResult = LIBUSB_SUCCESS;
    int claimResult = LIBUSB_SUCCESS;
    int resetResult = LIBUSB_SUCCESS;
    int controlResult = LIBUSB_SUCCESS;
    int outResult = LIBUSB_SUCCESS;
    int outTransferred = -1000;  // below 0: all of it
    // Keeps sending full packets until the next control request.
    bool streaming = false;

    std::map<uint8_t, std::vector<Packet>> replies;
    std::deque<Packet> in;

    std::vector<sim::ControlSetup> controls;
    std::vector<Read> reads;
    std::vector<std::vector<uint8_t>> writes;
    int opens = 0;
    int closes = 0;
    int claims = 0;
    int releases = 0;
    int configuration = 0;
};

// Plugs a scripted unit in on bus 1 at `port` and returns it.
std::shared_ptr<ScriptedUnit> plugUnit(const std::vector<uint8_t>& port,
                                       std::shared_ptr<ScriptedUnit> unit = nullptr);
