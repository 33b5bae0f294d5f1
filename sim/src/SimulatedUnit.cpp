#include "sim/SimulatedUnit.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "FrameCrc.h"
#include "PacketQueue.h"
#include "sim/Bus.h"
#include "sim/UnitCatalogue.h"
#include "sim/VirtualClock.h"

namespace sim {
namespace {

constexpr uint8_t kVendorRequestType = 0x23;  // host to device, class, recipient other

void putLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint64_t getLe(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= uint64_t{p[i]} << (8 * i);
    }
    return value;
}

}  // namespace

SimulatedUnit::SimulatedUnit(std::shared_ptr<UnitHardware> hardware, UnitOptions options)
    : hardware_(std::move(hardware)),
      options_(std::move(options)),
      catalogue_(std::make_unique<UnitCatalogue>(UnitCatalogue::standard())),
      in_(std::make_unique<PacketQueue>()),
      image_(catalogue_->imageSize(), 0),
      writable_(catalogue_->writableMask()) {
    // Factory defaults, then the options' own, then what the unit saved on its last commit.
    setText("Device name", "Quorel unit");
    setText("Location", "Bench 1");
    setText("Network address", "192.168.1.20");
    setText("Last fault", "none");
    setNumber("Board revision", 3);
    setNumber("Operating mode", 1);
    setNumber("Watchdog timeout ms", 5000);
    setNumber("Uptime seconds", 3600);
    setNumber("Temperature", 36.5);
    setNumber("Feature flags", 0x0123456789ABCDEFull);
    setNumber("Legacy counters", 17, 0);
    setNumber("Legacy counters", 4, 1);
    for (int n = 1; n <= 4; ++n) {
        std::string output = "Output " + std::to_string(n) + ": ";
        setNumber(output + "enabled", n % 2);
        setNumber(output + "mode", n);
        setNumber(output + "gain", 0.5 * n);
        setText(output + "label", "Out " + std::to_string(n));
    }
    for (uint32_t i = 0; i < 8; ++i) {
        setNumber("Calibration table", 1.0 + 0.25 * i, i);
    }
    for (uint32_t i = 0; i < 6; ++i) {
        setNumber("Channel enable", i % 2 == 0, i);
    }
    for (uint32_t i = 0; i < 4; ++i) {
        setNumber("Thresholds", 100.0 * (i + 1), i);
    }
    for (const auto& [name, value] : options_.texts) {
        setText(name, value);
    }
    for (const auto& [name, values] : options_.numbers) {
        for (uint32_t i = 0; i < values.size(); ++i) {
            setNumber(name, values[i], i);
        }
    }
    // The firmware keeps its settings only from a sector written by this same version.
    if (hardware_) {
        const std::vector<uint8_t> saved = hardware_->savedSettings(hardware_->firmwareVersion());
        if (saved.size() == image_.size()) {
            image_ = saved;
        }
        const unsigned restarts = hardware_->unitStarts++;
        if (options_.faultsAfterRestarts >= 0 &&
            static_cast<unsigned>(options_.faultsAfterRestarts) != restarts) {
            options_.faults = UnitFaults{};
        }
    }
    writeIdentification();
}

SimulatedUnit::~SimulatedUnit() = default;

std::function<std::shared_ptr<VirtualDevice>(std::shared_ptr<UnitHardware>)> SimulatedUnit::factory(
    UnitOptions options) {
    return [options](std::shared_ptr<UnitHardware> hardware) {
        return std::make_shared<SimulatedUnit>(std::move(hardware), options);
    };
}

bool SimulatedUnit::restoreImage(const std::vector<uint8_t>& image) {
    if (image.size() != image_.size()) {
        return false;
    }
    image_ = image;
    writeIdentification();
    return true;
}

// What the unit reports about itself comes from the hardware, whatever the saved image says.
void SimulatedUnit::writeIdentification() {
    setText("Version: Firmware", hardware_ ? hardware_->firmwareVersion() : std::string());
    setText("Version: VIO", options_.vio);
    setText("Version: Hardware UID", options_.hardwareUid);
    setNumber("trigger bootloader", 0);
}

std::optional<double> SimulatedUnit::number(const std::string& name, uint32_t index) const {
    const UnitSetting* s = catalogue_->find(name);
    if (s == nullptr || index >= s->count) {
        return std::nullopt;
    }
    const uint8_t* p = image_.data() + s->offset + index * s->elementSize();
    switch (s->type) {
        case kInt32:
            return static_cast<int32_t>(getLe(p, 4));
        case kFloat32: {
            uint32_t bits = static_cast<uint32_t>(getLe(p, 4));
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        case kBool:
        case kText:
            return *p;
        default:
            return static_cast<double>(getLe(p, 8));
    }
}

std::optional<std::string> SimulatedUnit::text(const std::string& name) const {
    const UnitSetting* s = catalogue_->find(name);
    if (s == nullptr || s->type != kText) {
        return std::nullopt;
    }
    auto begin = image_.begin() + s->offset;
    auto end = begin + s->count;
    return std::string(begin, std::find(begin, end, uint8_t{0}));
}

bool SimulatedUnit::setNumber(const std::string& name, double value, uint32_t index) {
    const UnitSetting* s = catalogue_->find(name);
    if (s == nullptr || index >= s->count || std::isnan(value)) {
        return false;
    }
    std::vector<uint8_t> bytes;
    switch (s->type) {
        case kInt32:
            putLe(bytes,
                  static_cast<uint32_t>(
                      static_cast<int32_t>(std::clamp(value, -2147483648.0, 2147483647.0))),
                  4);
            break;
        case kFloat32: {
            float f = static_cast<float>(value);
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            putLe(bytes, bits, 4);
            break;
        }
        case kBool:
        case kText:
            bytes.push_back(static_cast<uint8_t>(std::clamp(value, 0.0, 255.0)));
            break;
        default:
            putLe(bytes, static_cast<uint64_t>(std::clamp(value, 0.0, 18446744073709549568.0)), 8);
    }
    std::copy(bytes.begin(), bytes.end(), image_.begin() + s->offset + index * s->elementSize());
    return true;
}

bool SimulatedUnit::setText(const std::string& name, const std::string& text) {
    const UnitSetting* s = catalogue_->find(name);
    if (s == nullptr || s->type != kText) {
        return false;
    }
    auto begin = image_.begin() + s->offset;
    std::fill(begin, begin + s->count, uint8_t{0});
    std::copy_n(text.begin(), std::min<size_t>(text.size(), s->count), begin);
    return true;
}

std::vector<uint8_t> SimulatedUnit::cataloguePayload() const {
    std::vector<uint8_t> cbor = catalogue_->cbor();
    if (options_.bcdDevice < 0x0300) {
        return cbor;
    }
    // Compressed: the inflated size (the host skips these 4 bytes), then a zlib stream.
    std::vector<uint8_t> payload;
    putLe(payload, cbor.size(), 4);
    uLongf size = compressBound(cbor.size());
    payload.resize(4 + size);
    compress2(payload.data() + 4, &size, cbor.data(), cbor.size(), Z_BEST_COMPRESSION);
    payload.resize(4 + size);
    return payload;
}

libusb_device_descriptor SimulatedUnit::deviceDescriptor() const {
    return fullSpeedDeviceDescriptor(kVendorId, kProductId, options_.bcdDevice);
}

std::vector<uint8_t> SimulatedUnit::configDescriptor() const {
    return {
        9,
        LIBUSB_DT_CONFIG,
        32,
        0,
        1,
        1,
        0,
        0x80,
        50,  // bus powered, 100 mA
        9,
        LIBUSB_DT_INTERFACE,
        0,
        0,
        2,
        LIBUSB_CLASS_VENDOR_SPEC,
        0,
        0,
        0,  // interface 0
        7,
        LIBUSB_DT_ENDPOINT,
        kEndpointOut,
        LIBUSB_TRANSFER_TYPE_BULK,
        64,
        0,
        0,
        7,
        LIBUSB_DT_ENDPOINT,
        kEndpointIn,
        LIBUSB_TRANSFER_TYPE_BULK,
        64,
        0,
        0,
    };
}

std::optional<std::string> SimulatedUnit::stringDescriptor(uint8_t index) const {
    switch (index) {
        case 1:
            return std::string("Quorel");
        case 2:
            return options_.product;
        case 3:
            return options_.serialNumber;
        default:
            return std::nullopt;
    }
}

int SimulatedUnit::open() {
    return options_.faults.denyOpen ? LIBUSB_ERROR_ACCESS : options_.faults.openError;
}

int SimulatedUnit::setConfiguration(int configuration) {
    return configuration == 1 ? LIBUSB_SUCCESS : LIBUSB_ERROR_PIPE;
}

int SimulatedUnit::claimInterface(int interfaceNumber) {
    return interfaceNumber == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

// A bus reset flushes the endpoints and whatever write was announced.
int SimulatedUnit::reset() {
    in_->clear();
    announcedWrite_ = 0;
    return LIBUSB_SUCCESS;
}

// Counts a transfer down to the unplug fault; false when the cable is pulled at this one.
bool SimulatedUnit::countTransfer() {
    unsigned& countdown = options_.faults.unplugAtTransfer;
    if (countdown == 0 || --countdown > 0) {
        return true;
    }
    for (const auto& attachment : bus()->attachments()) {
        if (attachment->device.get() == this) {
            bus()->unplug(attachment->busNumber, attachment->portPath);
            break;
        }
    }
    return false;
}

int SimulatedUnit::control(const ControlSetup& setup, uint8_t* data, unsigned) {
    if (!countTransfer()) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (std::optional<int> answer = answerStatusRequest(setup, data, configDescriptor(), 0)) {
        return *answer;
    }
    if (setup.bmRequestType != kVendorRequestType) {
        return LIBUSB_ERROR_PIPE;
    }
    UnitFaults& faults = options_.faults;
    if (faults.stallRequests > 0) {
        --faults.stallRequests;
        return LIBUSB_ERROR_PIPE;
    }
    switch (setup.bRequest) {
        case kCatalogue:
        case kReadData:
            if (faults.silentRequests > 0) {
                --faults.silentRequests;
            } else if (setup.bRequest == kCatalogue) {
                std::vector<uint8_t> payload = cataloguePayload();
                if (faults.badCatalogues > 0 && options_.bcdDevice >= 0x0300) {
                    --faults.badCatalogues;
                    payload[4] ^= 0x01;  // the zlib header's check fails
                }
                sendFrame(kCatalogue, payload);
            } else {
                // A slice beyond the image is cut at its end; the host sees the short answer.
                size_t begin = std::min<size_t>(setup.wIndex, image_.size());
                size_t end = std::min<size_t>(begin + setup.wValue, image_.size());
                sendFrame(kReadData, {image_.begin() + begin, image_.begin() + end});
            }
            return 0;
        case kWriteData:
            announcedWrite_ = setup.wValue;
            return 0;
        case kCommit:
            bus()->spendUs(uint64_t{kCommitBusyMs} * 1000);
            hardware_->saveSettings(image_, hardware_->firmwareVersion());
            return 0;
        default:
            return LIBUSB_ERROR_PIPE;
    }
}

bool SimulatedUnit::inReady(uint8_t endpoint) const {
    return endpoint != kEndpointIn || !in_->empty();
}

int SimulatedUnit::bulk(uint8_t endpoint, uint8_t* data, int length, int* transferred, unsigned) {
    *transferred = 0;
    if (!countTransfer()) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (endpoint == kEndpointIn) {
        return in_->read(data, length, transferred);
    }
    if (endpoint != kEndpointOut) {
        return LIBUSB_ERROR_PIPE;
    }
    // Without an announced frame the unit does not take data: the host's write times out.
    if (announcedWrite_ == 0) {
        return LIBUSB_ERROR_TIMEOUT;
    }
    size_t taken = std::min(static_cast<size_t>(length), announcedWrite_);
    announcedWrite_ = 0;
    *transferred = static_cast<int>(taken);
    receiveFrame(data, taken);
    return taken < static_cast<size_t>(length) ? LIBUSB_ERROR_TIMEOUT : LIBUSB_SUCCESS;
}

void SimulatedUnit::sendFrame(uint16_t kind, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 12);
    putLe(frame, payload.size(), 2);
    putLe(frame, kind, 2);
    frame.insert(frame.end(), payload.begin(), payload.end());
    uint32_t crc = FrameCrc::compute(frame.data(), frame.size());
    UnitFaults& faults = options_.faults;
    if (faults.corruptChecksums > 0) {
        --faults.corruptChecksums;
        crc ^= 0x00010000u;
    }
    putLe(frame, crc, 4);
    if (faults.shortFrames > 0) {
        --faults.shortFrames;
        frame.pop_back();
    }
    if (faults.overlongFrames > 0) {
        --faults.overlongFrames;
        frame.insert(frame.end(), 4, 0xEE);
    }
    in_->pushFrame(frame);
}

// A frame that is cut, over-long or fails its checksum is dropped whole, as the firmware does.
void SimulatedUnit::receiveFrame(const uint8_t* frame, size_t length) {
    if (length < 8) {
        return;
    }
    size_t payloadLength = getLe(frame, 2);
    if (payloadLength + 8 != length ||
        FrameCrc::compute(frame, payloadLength + 4) != getLe(frame + 4 + payloadLength, 4)) {
        return;
    }
    applyRecords(frame + 4, payloadLength);
}

// Records of (offset, length, bytes); bytes of read-only and constant settings, and bytes
// outside the image, are left alone. A record running past the payload ends the list.
void SimulatedUnit::applyRecords(const uint8_t* payload, size_t length) {
    size_t pos = 0;
    while (pos + 4 <= length) {
        size_t offset = getLe(payload + pos, 2);
        size_t count = getLe(payload + pos + 2, 2);
        if (pos + 4 + count > length) {
            break;
        }
        for (size_t i = 0; i < count && offset + i < image_.size(); ++i) {
            if (writable_[offset + i]) {
                image_[offset + i] = payload[pos + 4 + i];
            }
        }
        pos += 4 + count;
    }
    if (number("trigger bootloader").value_or(0) != 0) {
        startBootloader();
    }
}

// The firmware answers the write, then restarts into the boot loader: it leaves the bus after
// kLeaveDelayMs and the boot loader enumerates kRestartDelayMs later at the same port.
void SimulatedUnit::startBootloader() {
    if (leaving_ || bus() == nullptr) {
        return;
    }
    leaving_ = true;
    std::shared_ptr<SimulatedUnit> self = shared_from_this();
    Bus* onBus = bus();
    VirtualClock::schedule(uint64_t{kLeaveDelayMs} * 1000, [self, onBus] {
        std::shared_ptr<UnitHardware> hardware = self->hardware_;
        std::shared_ptr<VirtualDevice> next =
            hardware && hardware->makeBootloader ? hardware->makeBootloader(hardware) : nullptr;
        onBus->reenumerate(*self, next, self->options_.bootloaderDelayMs);
    });
}

}  // namespace sim
