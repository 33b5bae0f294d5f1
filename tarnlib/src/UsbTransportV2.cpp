#include "tarnlib/UsbTransportV2.h"

#include <libusb.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "Checksum.h"
#include "InflateCatalogue.h"
#include "usb/DeviceIds.h"
#include "usb/LittleEndian.h"

namespace {

// Unit identification.
constexpr uint16_t kFirstRelease = 0x0210;
constexpr uint16_t kReleaseSpan = 0x01EF;  // 0x0210 to 0x03FF
constexpr uint16_t kFirstCompressedRelease = 0x0300;

constexpr int kConfiguration = 1;
constexpr int kInterface = 0;
constexpr unsigned char kEndpointOut = 0x02;
constexpr unsigned char kEndpointIn = 0x81;
constexpr unsigned kPacketSize = 64;
constexpr int kNameBufferSize = 1024;

// Host to device, class request, recipient "other"; no data stage.
constexpr uint8_t kRequestType = 0x23;
constexpr uint8_t kRequestCommit = 7;
constexpr uint8_t kRequestCatalogue = 9;
constexpr uint8_t kRequestReadData = 10;
constexpr uint8_t kRequestWriteData = 11;

constexpr unsigned kTransferTimeoutMs = 200;
constexpr unsigned kPendingReadTimeoutMs = 1;

constexpr size_t kHeaderSize = 4;
constexpr size_t kFrameOverhead = 8;  // header and checksum
constexpr size_t kMaxPayload = trn::kMaxFramePayload;
constexpr uint16_t kHostFrameKind = 0xFFFF;
// Draining stops after the packets of the largest frame and its zero-length packet, so that a
// unit which never stops sending cannot hold the host in the loop.
constexpr int kMaxDrainPackets = (kMaxPayload + kFrameOverhead) / kPacketSize + 2;

class LibusbErrCategory : public std::error_category {
  public:
    const char* name() const noexcept override { return "libusb"; }
    std::string message(int ev) const override {
        std::ostringstream text;
        text << libusb_error_name(ev) << ": " << libusb_strerror(ev);
        return text.str();
    }
};

const LibusbErrCategory libusbCategory;

[[noreturn]] void throwLibusb(int code) {
    throw std::system_error(code, libusbCategory);
}

bool isUnit(const libusb_device_descriptor& descriptor) {
    return descriptor.idVendor == usb::kUnitVendorId &&
           descriptor.idProduct == usb::kUnitProductId &&
           static_cast<uint16_t>(descriptor.bcdDevice - kFirstRelease) <= kReleaseSpan;
}

// Reads the descriptor; false when it cannot be read or the device is no unit.
bool unitDescriptor(libusb_device* device, libusb_device_descriptor& descriptor) {
    return libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS &&
           isUnit(descriptor);
}

usb::PortPath portPathOf(libusb_device* device) {
    uint8_t numbers[usb::PortPath::kMaxPorts];
    const int count = libusb_get_port_numbers(device, numbers, sizeof numbers);
    if (count < 0) {
        throwLibusb(count);
    }
    return {libusb_get_bus_number(device), std::vector<uint8_t>(numbers, numbers + count)};
}

// A string descriptor in ASCII, or the library's negative code.
int readString(libusb_device_handle* handle, uint8_t index, std::string& name) {
    unsigned char buffer[kNameBufferSize];
    const int length = libusb_get_string_descriptor_ascii(handle, index, buffer, sizeof buffer);
    if (length >= 0) {
        name.assign(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
    }
    return length;
}

using usb::getLe16;
using usb::getLe32;
using usb::putLe16;

}  // namespace

namespace trn {

UsbTransportV2::UsbTransportV2() : context_(usb::makeContext()) {
    // A failed init leaves no context; every walk of the bus then sees no device.
    crc32InitTable(crcTable_.data(), static_cast<int>(crcTable_.size()));
}

UsbTransportV2::~UsbTransportV2() = default;

void UsbTransportV2::setPortFilter(const usb::PortPath& portPath) {
    portFilter_ = portPath;
}

void UsbTransportV2::setNameFilter(const std::string& name) {
    nameFilter_ = name;
}

namespace {
std::function<bool(const usb::PortPath&)>& placeCheck() {
    static std::function<bool(const usb::PortPath&)> check;
    return check;
}
}  // namespace

void UsbTransportV2::setPlaceCheck(std::function<bool(const usb::PortPath&)> check) {
    placeCheck() = std::move(check);
}

void UsbTransportV2::disconnect() {
    claimed_.reset();
    handle_.reset();
}

void UsbTransportV2::connect() {
    openFailure_ = {};
    usb::DeviceList devices(context_.get());
    usb::Handle chosen;
    usb::PortPath place;
    for (libusb_device* device : devices) {
        usb::PortPath path = portPathOf(device);
        if (!portFilter_.covers(path)) {
            continue;
        }
        libusb_device_descriptor descriptor{};
        if (!unitDescriptor(device, descriptor)) {
            continue;
        }
        compressed_ = descriptor.bcdDevice >= kFirstCompressedRelease;
        libusb_device_handle* opened = nullptr;
        const int rc = libusb_open(device, &opened);
        if (rc < 0) {
            // A unit we may not open ends the search: a later one is not silently taken instead.
            openFailure_ = {std::move(path), rc};
            throwLibusb(rc);
        }
        usb::Handle candidate(opened);
        if (readString(opened, descriptor.iProduct, productName_) < 0) {
            productName_.clear();
        }
        if (nameFilter_.empty() || productName_ == nameFilter_) {
            chosen = std::move(candidate);
            place = std::move(path);
            break;
        }
        productName_.clear();
    }
    devices.release();
    if (!chosen) {
        productName_.clear();
        throw std::runtime_error("Failed to find device");
    }
    const bool refused = placeCheck() && !placeCheck()(place);
    int rc = refused ? LIBUSB_ERROR_BUSY : libusb_set_configuration(chosen.get(), kConfiguration);
    if (rc >= 0) {
        rc = libusb_claim_interface(chosen.get(), kInterface);
    }
    if (rc < 0) {
        chosen.reset();
        productName_.clear();
        // A unit in use elsewhere is not swapped for another either, and the caller learns why.
        if (rc == LIBUSB_ERROR_BUSY) {
            openFailure_ = {std::move(place), rc};
        }
        throwLibusb(rc);
    }
    handle_ = std::move(chosen);
    claimed_ = std::make_unique<usb::ClaimedInterface>(handle_.get(), kInterface);
}

int UsbTransportV2::reconnect() {
    disconnect();
    connect();
    return libusb_reset_device(handle_.get());
}

std::vector<usb::PortPath> UsbTransportV2::listDevices() {
    std::vector<usb::PortPath> paths;
    usb::DeviceList devices(context_.get());
    for (libusb_device* device : devices) {
        libusb_device_descriptor descriptor{};
        if (unitDescriptor(device, descriptor)) {
            paths.push_back(portPathOf(device));
        }
    }
    return paths;
}

std::string UsbTransportV2::productNameAt(const usb::PortPath& path) {
    return stringAt(path, &libusb_device_descriptor::iProduct);
}

std::string UsbTransportV2::serialNumberAt(const usb::PortPath& path) {
    return stringAt(path, &libusb_device_descriptor::iSerialNumber);
}

std::string UsbTransportV2::stringAt(const usb::PortPath& path,
                                     uint8_t libusb_device_descriptor::*index) {
    usb::DeviceList devices(context_.get());
    for (libusb_device* device : devices) {
        libusb_device_descriptor descriptor{};
        if (!unitDescriptor(device, descriptor) || portPathOf(device) != path) {
            continue;
        }
        libusb_device_handle* opened = nullptr;
        const int openResult = libusb_open(device, &opened);
        if (openResult < 0) {
            throwLibusb(openResult);
        }
        const usb::Handle named(opened);
        std::string text;
        const int readResult = readString(opened, descriptor.*index, text);
        devices.release();
        if (readResult < 0) {
            throwLibusb(readResult);
        }
        return text;
    }
    return {};
}

usb::PortPath UsbTransportV2::portNumbers() {
    if (handle_ == nullptr) {
        return {};
    }
    return portPathOf(libusb_get_device(handle_.get()));
}

void UsbTransportV2::requireConnection() const {
    if (handle_ == nullptr) {
        throw std::runtime_error("USB can't read data, not connected");
    }
}

bool UsbTransportV2::controlRequest(uint8_t request, uint16_t index, uint16_t value) {
    const int rc = libusb_control_transfer(handle_.get(), kRequestType, request, value, index,
                                           nullptr, 0, kTransferTimeoutMs);
    if (rc < 0) {
        throwLibusb(rc);
    }
    return true;
}

void UsbTransportV2::sendFrame(uint16_t kind, const std::vector<uint8_t>& payload) {
    if (payload.size() > kMaxPayload) {
        throw std::invalid_argument("USB payload size too big");
    }
    const size_t length = payload.size();
    std::vector<uint8_t> frame(length + kFrameOverhead, 0);
    putLe16(frame.data(), static_cast<uint16_t>(length));
    putLe16(frame.data() + 2, kind);
    std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderSize);
    const uint32_t crc =
        crc32Frame(crcTable_.data(), frame.data(), static_cast<unsigned>(length + kHeaderSize));
    for (size_t i = 0; i < 4; ++i) {
        frame[kHeaderSize + length + i] = static_cast<uint8_t>(crc >> (8 * i));
    }
    int transferred = -1;
    const int rc =
        libusb_bulk_transfer(handle_.get(), kEndpointOut, frame.data(),
                             static_cast<int>(frame.size()), &transferred, kTransferTimeoutMs);
    if (rc < 0) {
        throwLibusb(rc);
    }
    if (transferred != static_cast<int>(frame.size())) {
        throw std::runtime_error("USB setting data transmit: invalid transfer (unknown size)");
    }
}

void UsbTransportV2::receivePacket(std::vector<uint8_t>& buffer, unsigned maxLength) {
    buffer.resize(maxLength);
    int transferred = -1;
    const int rc =
        libusb_bulk_transfer(handle_.get(), kEndpointIn, buffer.data(), static_cast<int>(maxLength),
                             &transferred, kTransferTimeoutMs);
    if (rc < 0) {
        throwLibusb(rc);
    }
    if (transferred < 0) {
        throw std::runtime_error("USB setting data receive: invalid transfer (unknown size)");
    }
    if (static_cast<unsigned>(transferred) > maxLength) {
        throw std::runtime_error("USB setting data receive: invalid transfer (too many bytes)");
    }
    buffer.resize(static_cast<size_t>(transferred));
}

void UsbTransportV2::receiveFrame(uint16_t& kind, std::vector<uint8_t>& payload) {
    std::vector<uint8_t> packet;
    receivePacket(packet, kPacketSize);
    if (packet.empty()) {
        // A zero-length packet left over from an earlier transfer; skipped once only.
        receivePacket(packet, kPacketSize);
    }
    if (packet.size() < kHeaderSize) {
        throw std::runtime_error("USB setting data receive: missing header");
    }
    const size_t length = getLe16(packet.data());
    const uint16_t frameKind = getLe16(packet.data() + 2);
    const size_t frameSize = length + kFrameOverhead;
    if (packet.size() > frameSize) {
        throw std::runtime_error("USB setting data receive: data overrun");
    }
    std::vector<uint8_t> frame(frameSize);
    std::copy(packet.begin(), packet.end(), frame.begin());
    size_t received = packet.size();
    while (received < frameSize) {
        const unsigned wanted =
            static_cast<unsigned>(std::min<size_t>(frameSize - received, kPacketSize));
        receivePacket(packet, wanted);
        if (packet.size() != wanted) {
            throw std::runtime_error(
                "USB setting data receive: invalid transfer (unexpected size)");
        }
        std::copy(packet.begin(), packet.end(), frame.begin() + received);
        received += wanted;
    }
    const uint32_t crc =
        crc32Frame(crcTable_.data(), frame.data(), static_cast<unsigned>(length + kHeaderSize));
    if (crc != getLe32(frame.data() + kHeaderSize + length)) {
        throw std::runtime_error("USB setting data receive: invalid transfer (CRC error)");
    }
    kind = frameKind;
    payload.assign(frame.begin() + kHeaderSize, frame.begin() + kHeaderSize + length);
}

bool UsbTransportV2::readPendingPacket() {
    uint8_t buffer[kPacketSize];
    int transferred = 0;
    const int rc = libusb_bulk_transfer(handle_.get(), kEndpointIn, buffer, kPacketSize,
                                        &transferred, kPendingReadTimeoutMs);
    if (rc == LIBUSB_ERROR_TIMEOUT) {
        return false;
    }
    if (rc < 0) {
        throwLibusb(rc);
    }
    return true;
}

std::vector<uint8_t> UsbTransportV2::readCatalogue() {
    requireConnection();
    // Bytes of an earlier, failed exchange must not be taken for the start of this frame.
    for (int i = 0; i < kMaxDrainPackets && readPendingPacket(); ++i) {
    }
    controlRequest(kRequestCatalogue, 0, 0);
    uint16_t kind = 0;
    std::vector<uint8_t> catalogue;
    receiveFrame(kind, catalogue);
    if ((catalogue.size() + kFrameOverhead) % kPacketSize == 0) {
        // A transfer of whole packets ends with a zero-length packet; take it off the endpoint.
        readPendingPacket();
    }
    if (compressed_) {
        return inflateCatalogue(catalogue);
    }
    return catalogue;
}

std::vector<uint8_t> UsbTransportV2::readData(uint16_t offset, uint16_t length) {
    requireConnection();
    controlRequest(kRequestReadData, offset, length);
    uint16_t kind = 0;
    std::vector<uint8_t> data;
    receiveFrame(kind, data);
    return data;
}

void UsbTransportV2::writeData(const std::vector<uint8_t>& data) {
    requireConnection();
    // Refused before the announcement, so that the unit is never told of a frame that will not
    // come.
    if (data.size() > kMaxPayload) {
        throw std::invalid_argument("USB payload size too big");
    }
    controlRequest(kRequestWriteData, 0, static_cast<uint16_t>(data.size() + kFrameOverhead));
    sendFrame(kHostFrameKind, data);
}

bool UsbTransportV2::commit() {
    requireConnection();
    controlRequest(kRequestCommit, 0, 0);
    return true;
}

bool UsbTransportV2::OpenFailure::accessDenied() const {
#ifdef _WIN32
    // libusb opens on Windows only what is bound to a driver it speaks (WinUSB).
    return code == LIBUSB_ERROR_ACCESS || code == LIBUSB_ERROR_NOT_SUPPORTED;
#else
    return code == LIBUSB_ERROR_ACCESS;
#endif
}

bool UsbTransportV2::OpenFailure::inUse() const {
    return code == LIBUSB_ERROR_BUSY;
}

std::string UsbTransportV2::OpenFailure::text() const {
    return libusbCategory.message(code);
}

}  // namespace trn
