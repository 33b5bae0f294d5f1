// A fake unit on the virtual bus answers the catalogue and value requests with bulk packets
// taken from the input; the transport reads frames from them and inflates the catalogue, and
// the settings model loads what comes through.
//
// Input: one byte of options (bit 0: a release that compresses its catalogue; bit 1: the rest
// is the payload of one well-formed catalogue frame, so that inflation sees every kind of
// stream), then the answers to the requests in turn: packets, each a length byte (taken modulo
// 65) and that many bytes, with a length byte of 0xFF ending an answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <stdexcept>
#include <vector>

#include "Checksum.h"
#include "sim/Bus.h"
#include "sim/VirtualDevice.h"
#include "tarnlib/SettingsModel.h"
#include "tarnlib/UsbTransportV2.h"

namespace {

constexpr size_t kPacketSize = 64;

class FuzzUnit : public sim::VirtualDevice {
  public:
    using Packets = std::deque<std::vector<uint8_t>>;

    FuzzUnit(uint16_t release, std::deque<Packets> answers)
        : release_(release), answers_(std::move(answers)) {}

    libusb_device_descriptor deviceDescriptor() const override {
        return sim::fullSpeedDeviceDescriptor(0x6444, 0x0001, release_);
    }
    std::vector<uint8_t> configDescriptor() const override {
        return {9, 2, 32,   0, 1,  1,    0, 0x80, 50,  // configuration 1
                9, 4, 0,    0, 2,  0xFF, 0, 0,    0,   // interface 0
                7, 5, 0x81, 2, 64, 0,    0,            // bulk IN
                7, 5, 0x02, 2, 64, 0,    0};           // bulk OUT
    }
    std::optional<std::string> stringDescriptor(uint8_t index) const override {
        if (index == 2) {
            return std::string("Fuzz unit");
        }
        return std::nullopt;
    }
    // As a unit does, it sends only after a request, so that the host's draining of stale
    // packets before a request finds nothing.
    int control(const sim::ControlSetup&, uint8_t*, unsigned) override {
        if (!answers_.empty()) {
            packets_ = std::move(answers_.front());
            answers_.pop_front();
        }
        return 0;
    }
    int bulk(uint8_t endpoint, uint8_t* data, int length, int* transferred, unsigned) override {
        *transferred = 0;
        if ((endpoint & 0x80) == 0) {
            *transferred = length;
            return LIBUSB_SUCCESS;
        }
        if (packets_.empty()) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        const std::vector<uint8_t> packet = std::move(packets_.front());
        packets_.pop_front();
        if (packet.size() > static_cast<size_t>(length)) {
            return LIBUSB_ERROR_OVERFLOW;
        }
        std::copy(packet.begin(), packet.end(), data);
        *transferred = static_cast<int>(packet.size());
        return LIBUSB_SUCCESS;
    }

  private:
    uint16_t release_;
    std::deque<Packets> answers_;
    Packets packets_;
};

// The payload as the unit sends it: length, kind, payload and checksum in 64-byte packets, and
// a zero-length packet after a frame that fills its last one.
FuzzUnit::Packets framePackets(const uint8_t* data, size_t size) {
    std::vector<uint8_t> frame{static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), 0, 0};
    frame.insert(frame.end(), data, data + size);
    static const std::vector<uint32_t> table = [] {
        std::vector<uint32_t> t(256);
        trn::crc32InitTable(t.data(), 256);
        return t;
    }();
    const uint32_t crc =
        trn::crc32Frame(table.data(), frame.data(), static_cast<unsigned>(frame.size()));
    for (int i = 0; i < 4; ++i) {
        frame.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    }
    FuzzUnit::Packets packets;
    for (size_t at = 0; at < frame.size(); at += kPacketSize) {
        const size_t n = std::min(kPacketSize, frame.size() - at);
        packets.emplace_back(frame.begin() + at, frame.begin() + at + n);
    }
    if (frame.size() % kPacketSize == 0) {
        packets.emplace_back();
    }
    return packets;
}

std::deque<FuzzUnit::Packets> rawAnswers(const uint8_t* data, size_t size) {
    std::deque<FuzzUnit::Packets> answers(1);
    size_t at = 0;
    while (at < size) {
        const uint8_t head = data[at];
        ++at;
        if (head == 0xFF) {
            answers.emplace_back();
            continue;
        }
        const size_t n = std::min<size_t>(head % (kPacketSize + 1), size - at);
        answers.back().emplace_back(data + at, data + at + n);
        at += n;
    }
    return answers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 0xFFFF) {
        return 0;
    }
    const uint8_t options = data[0];
    const uint16_t release = (options & 1) != 0 ? 0x0300 : 0x0210;
    std::deque<FuzzUnit::Packets> answers =
        (options & 2) != 0 ? std::deque<FuzzUnit::Packets>{framePackets(data + 1, size - 1)}
                           : rawAnswers(data + 1, size - 1);

    sim::Bus& bus = sim::Bus::instance();
    bus.reset();
    bus.attach(1, {1}, std::make_shared<FuzzUnit>(release, std::move(answers)));
    {
        trn::UsbTransportV2 transport;
        trn::SettingsModel model(transport);
        try {
            // A failed load is the expected outcome for most inputs; it must say why.
            if (!model.load() && model.lastLoadFailure().empty()) {
                std::abort();
            }
        } catch (const std::runtime_error&) {
            // Failures of the value frame pass through load; they are refusals too.
        }
    }
    bus.reset();
    return 0;
}
