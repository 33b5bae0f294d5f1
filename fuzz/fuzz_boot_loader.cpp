// A DFU-mode device on the virtual bus whose class-specific descriptor bytes (where the DFU
// functional descriptor goes) and whose answers to GETSTATUS and UPLOAD come from the input.
// dfuse erases, programs (with read-back when the descriptor allows it) and leaves, as an
// update does; every failure must be a DfuError that names its cause.
//
// Input: one byte of options (bits 0-1: alternate settings less one; bit 2: the class-specific
// bytes follow the first alternate setting rather than the last), one byte giving how many
// class-specific bytes follow (modulo 64), those bytes, then the answers to the class requests
// that read from the device (GETSTATUS, UPLOAD) in turn: a head byte (0xFF: the request stalls;
// else the answer's length, modulo the length asked for plus one) and that many bytes. When the
// input ends, every such request stalls.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BootLoaderInput.h"
#include "DfuError.h"
#include "DfuOperation.h"
#include "sim/Bus.h"
#include "sim/SimulatedBootloader.h"
#include "sim/VirtualDevice.h"

namespace {

class FuzzLoader : public sim::VirtualDevice {
  public:
    FuzzLoader(const fuzz::BootLoaderInput& input, const uint8_t* answers, size_t size)
        : input_(input), at_(answers), end_(answers + size) {}

    libusb_device_descriptor deviceDescriptor() const override {
        return sim::fullSpeedDeviceDescriptor(sim::SimulatedBootloader::kVendorId,
                                              sim::SimulatedBootloader::kProductId, 0x2200);
    }
    std::vector<uint8_t> configDescriptor() const override { return input_.configDescriptor(); }
    std::optional<std::string> stringDescriptor(uint8_t index) const override {
        const char* layout = sim::SimulatedBootloader::layoutString(
            static_cast<uint8_t>(index - fuzz::BootLoaderInput::kFirstLayoutString));
        return layout != nullptr ? std::optional<std::string>(layout) : std::nullopt;
    }
    int control(const sim::ControlSetup& setup, uint8_t* data, unsigned) override {
        if ((setup.bmRequestType & 0x60) != LIBUSB_REQUEST_TYPE_CLASS) {
            return LIBUSB_ERROR_PIPE;
        }
        if (!setup.deviceToHost()) {
            return setup.wLength;
        }
        if (at_ == end_ || *at_ == 0xFF) {
            at_ = std::min(at_ + 1, end_);
            return LIBUSB_ERROR_PIPE;
        }
        const size_t length = std::min<size_t>(*at_ % (setup.wLength + 1), end_ - at_ - 1);
        std::copy_n(at_ + 1, length, data);
        at_ += 1 + length;
        return static_cast<int>(length);
    }

  private:
    const fuzz::BootLoaderInput& input_;
    const uint8_t* at_;
    const uint8_t* end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::optional<fuzz::BootLoaderInput> input = fuzz::BootLoaderInput::read(data, size);
    if (!input) {
        return 0;
    }
    static const dfuse::DfuImage image = fuzz::bootLoaderImage();
    sim::Bus& bus = sim::Bus::instance();
    bus.reset();
    bus.attach(
        1, {1},
        std::make_shared<FuzzLoader>(*input, data + input->answersAt, size - input->answersAt));
    for (const uint32_t operation : fuzz::kBootLoaderOperations) {
        dfuse::DfuOperation dfu(operation, fuzz::kBootLoaderPath, image);
        dfu.runHere();
        const dfuse::DfuOperation::Outcome outcome = dfu.status();
        if (outcome.error != kDfuSuccess && outcome.detail.empty()) {
            std::abort();
        }
    }
    bus.reset();
    return 0;
}
