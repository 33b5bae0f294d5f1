#include "DfuInterface.h"

#include <algorithm>

#include "DfuError.h"
#include "usb/LittleEndian.h"

namespace dfuse {
namespace {

constexpr unsigned kControlTimeoutMs = 5000;
constexpr uint8_t kDfuClass = 0xFE;
constexpr uint8_t kDfuSubclass = 0x01;
constexpr uint8_t kDfuModeProtocol = 0x02;
constexpr uint8_t kDfuFunctionalType = 0x21;
constexpr uint8_t kDfuFunctionalLength = 9;

// Class request codes.
enum DfuRequest : uint8_t {
    kDfuDetach = 0,
    kDfuDnload = 1,
    kDfuUpload = 2,
    kDfuGetStatus = 3,
    kDfuClrStatus = 4,
    kDfuAbort = 6,
};

constexpr uint8_t kClassInterfaceOut =
    LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE;  // 0x21
constexpr uint8_t kClassInterfaceIn =
    LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE;  // 0xA1

libusb_device* findDevice(const usb::DeviceList& devices, const DevicePath& path) {
    for (size_t i = 0; i < devices.size(); ++i) {
        uint8_t ports[8] = {};
        const int count = libusb_get_port_numbers(devices[i], ports, sizeof ports);
        if (libusb_get_bus_number(devices[i]) != path.bus || count != int(path.ports.size())) {
            continue;
        }
        if (std::equal(path.ports.begin(), path.ports.end(), ports)) {
            return devices[i];
        }
    }
    return nullptr;
}

// Looks for the functional descriptor among the class-specific bytes after a descriptor.
bool parseFunctional(const unsigned char* extra, int length, DfuFunctional* functional) {
    int pos = 0;
    while (extra && pos + 2 <= length) {
        const uint8_t bLength = extra[pos];
        if (bLength < 2 || pos + bLength > length) {
            return false;
        }
        if (extra[pos + 1] == kDfuFunctionalType && bLength >= kDfuFunctionalLength) {
            const unsigned char* d = extra + pos;
            functional->bmAttributes = d[2];
            functional->wTransferSize = usb::getLe16(d + 5);
            functional->bcdDfuVersion = usb::getLe16(d + 7);
            return true;
        }
        pos += bLength;
    }
    return false;
}

}  // namespace

bool isDfuMode(const libusb_interface_descriptor& alt) {
    return alt.bInterfaceClass == kDfuClass && alt.bInterfaceSubClass == kDfuSubclass &&
           alt.bInterfaceProtocol == kDfuModeProtocol;
}

usb::Config deviceConfig(libusb_device* device) {
    libusb_config_descriptor* raw = nullptr;
    if (libusb_get_active_config_descriptor(device, &raw) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(device, 0, &raw) != LIBUSB_SUCCESS) {
        return nullptr;
    }
    return usb::Config(raw);
}

void checkLibusb(int result, const std::string& what) {
    if (result >= 0) {
        return;
    }
    uint32_t code = kDfuErrorUsbTransfer;
    switch (result) {
        case LIBUSB_ERROR_NO_DEVICE:
            code = kDfuErrorDeviceGone;
            break;
        case LIBUSB_ERROR_TIMEOUT:
            code = kDfuErrorTimeout;
            break;
        case LIBUSB_ERROR_PIPE:
            code = kDfuErrorRequestStalled;
            break;
        case LIBUSB_ERROR_BUSY:
            code = kDfuErrorDeviceBusy;
            break;
        default:
            break;
    }
    fail(code, what + ": " + libusb_error_name(result));
}

std::unique_ptr<DfuInterface> DfuInterface::open(const std::string& pathText) {
    std::optional<DevicePath> path = DevicePath::parse(pathText);
    if (!path) {
        fail(kDfuErrorBadDevicePath,
             "\"" + pathText + "\" is no device path (USB-BUS<n>-PORT<a.b.c>-IF<n>)");
    }
    std::unique_ptr<DfuInterface> dfu(new DfuInterface());
    dfu->path_ = *path;
    dfu->pathText_ = path->text();
    const std::string& where = dfu->pathText_;
    dfu->context_ = usb::makeContext();
    if (!dfu->context_) {
        fail(kDfuErrorUsbInit, "libusb_init failed");
    }

    usb::DeviceList devices(dfu->context_.get());
    libusb_device* device = findDevice(devices, *path);
    if (!device) {
        fail(kDfuErrorDeviceNotFound, "no device at " + where);
    }
    const usb::Config config = deviceConfig(device);
    if (!config) {
        fail(kDfuErrorBadDescriptor, "the device at " + where + " has no readable configuration");
    }

    dfu->readDescriptors(*config);

    libusb_device_handle* handle = nullptr;
    const int result = libusb_open(device, &handle);
    if (result != LIBUSB_SUCCESS) {
        fail(result == LIBUSB_ERROR_NO_DEVICE ? kDfuErrorDeviceGone : kDfuErrorOpenDevice,
             "opening " + where + ": " + libusb_error_name(result));
    }
    dfu->handle_.reset(handle);
    return dfu;
}

void DfuInterface::readDescriptors(const libusb_config_descriptor& config) {
    bool found = false;
    bool haveFunctional = false;
    for (int i = 0; i < config.bNumInterfaces && !found; ++i) {
        const libusb_interface& interface = config.interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = interface.altsetting[a];
            if (alt.bInterfaceNumber != path_.interfaceNumber || !isDfuMode(alt)) {
                break;
            }
            found = true;
            alternateStrings_.push_back(alt.iInterface);
            if (!haveFunctional) {
                haveFunctional = parseFunctional(alt.extra, alt.extra_length, &functional_);
            }
        }
    }
    if (!found) {
        fail(kDfuErrorNotDfuInterface,
             "the device at " + pathText_ + " has no DFU-mode interface there (it left DFU mode?)");
    }
    if (!haveFunctional) {
        haveFunctional = parseFunctional(config.extra, config.extra_length, &functional_);
    }
    if (!haveFunctional || functional_.wTransferSize == 0) {
        fail(kDfuErrorBadDescriptor,
             "the device at " + pathText_ + " has no usable DFU functional descriptor");
    }
}

DfuInterface::~DfuInterface() = default;

void DfuInterface::select(uint32_t configuration, uint32_t alternate) {
    libusb_device* device = libusb_get_device(handle_.get());
    libusb_config_descriptor* rawConfig = nullptr;
    if (configuration > 255 || libusb_get_config_descriptor(device, uint8_t(configuration),
                                                            &rawConfig) != LIBUSB_SUCCESS) {
        fail(kDfuErrorInvalidArgument,
             "the device has no configuration index " + std::to_string(configuration));
    }
    const int wanted = usb::Config(rawConfig)->bConfigurationValue;
    if (alternate >= alternateStrings_.size()) {
        fail(kDfuErrorInvalidArgument,
             "the DFU interface has no alternate setting " + std::to_string(alternate));
    }

    // Setting the configuration that is already active would reset the device's interfaces.
    int current = 0;
    checkLibusb(libusb_get_configuration(handle_.get(), &current), "reading the configuration");
    if (current != wanted) {
        checkLibusb(libusb_set_configuration(handle_.get(), wanted), "setting the configuration");
    }
    if (!claimed_) {
        checkLibusb(libusb_claim_interface(handle_.get(), path_.interfaceNumber),
                    "claiming the interface");
        claimed_ = std::make_unique<usb::ClaimedInterface>(handle_.get(), path_.interfaceNumber);
    }
    checkLibusb(
        libusb_set_interface_alt_setting(handle_.get(), path_.interfaceNumber, int(alternate)),
        "selecting alternate setting " + std::to_string(alternate));
}

int DfuInterface::controlOut(uint8_t bRequest, uint16_t wValue, const uint8_t* data,
                             uint16_t wLength) {
    return libusb_control_transfer(handle_.get(), /*request_type=*/kClassInterfaceOut, bRequest,
                                   wValue, /*wIndex=*/path_.interfaceNumber,
                                   const_cast<uint8_t*>(data), wLength, kControlTimeoutMs);
}

int DfuInterface::controlIn(uint8_t bRequest, uint16_t wValue, uint8_t* data, uint16_t wLength) {
    return libusb_control_transfer(handle_.get(), /*request_type=*/kClassInterfaceIn, bRequest,
                                   wValue, /*wIndex=*/path_.interfaceNumber, data, wLength,
                                   kControlTimeoutMs);
}

void DfuInterface::dnload(uint16_t blockNumber, const uint8_t* data, uint16_t length) {
    const std::string what = "DNLOAD of block " + std::to_string(blockNumber);
    const int result = controlOut(kDfuDnload, /*wValue=*/blockNumber, data, /*wLength=*/length);
    checkLibusb(result, what);
    if (result != length) {
        fail(kDfuErrorUsbTransfer, what + ": " + std::to_string(result) + " of " +
                                       std::to_string(length) + " bytes sent");
    }
}

uint16_t DfuInterface::upload(uint16_t blockNumber, uint8_t* data, uint16_t length) {
    const int result = controlIn(kDfuUpload, /*wValue=*/blockNumber, data, /*wLength=*/length);
    checkLibusb(result, "UPLOAD of block " + std::to_string(blockNumber));
    return uint16_t(result);
}

DfuStatus DfuInterface::getStatus() {
    uint8_t reply[6] = {};
    const int result = controlIn(kDfuGetStatus, /*wValue=*/0, reply, /*wLength=*/sizeof reply);
    checkLibusb(result, "GETSTATUS");
    if (result != int(sizeof reply)) {
        fail(kDfuErrorUsbTransfer, "GETSTATUS: " + std::to_string(result) + " of 6 bytes received");
    }
    DfuStatus status{};
    status.bStatus = reply[0];
    status.bwPollTimeout[0] = reply[1];
    status.bwPollTimeout[1] = reply[2];
    status.bwPollTimeout[2] = reply[3];
    status.bState = reply[4];
    status.iString = reply[5];
    return status;
}

void DfuInterface::clrStatus() {
    checkLibusb(controlOut(kDfuClrStatus, /*wValue=*/0, nullptr, /*wLength=*/0), "CLRSTATUS");
}

void DfuInterface::abort() {
    checkLibusb(controlOut(kDfuAbort, /*wValue=*/0, nullptr, /*wLength=*/0), "ABORT");
}

std::vector<std::string> DfuInterface::alternateNames() {
    std::vector<std::string> names;
    for (uint32_t alternate = 0; alternate < alternateCount(); ++alternate) {
        names.push_back(alternateName(alternate));
    }
    return names;
}

std::string DfuInterface::alternateName(uint32_t alternate) {
    const uint8_t index = alternateStrings_.at(alternate);
    unsigned char text[256] = {};
    const int length = index == 0 ? 0
                                  : libusb_get_string_descriptor_ascii(handle_.get(), index, text,
                                                                       sizeof text - 1);
    checkLibusb(length, "reading the name of alternate setting " + std::to_string(alternate));
    return std::string(reinterpret_cast<const char*>(text), size_t(length));
}

}  // namespace dfuse
