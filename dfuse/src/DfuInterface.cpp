#include "DfuInterface.h"

#include <algorithm>

#include "dfuse/DfuReturnCodes.h"

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
    kDfuGetState = 5,
    kDfuAbort = 6,
};

constexpr uint8_t kClassInterfaceOut =
    LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE;  // 0x21
constexpr uint8_t kClassInterfaceIn =
    LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE;  // 0xA1

libusb_device* findDevice(const UsbDeviceList& devices, const DevicePath& path) {
    for (size_t i = 0; i < devices.size(); ++i) {
        uint8_t ports[8] = {};
        const int count = libusb_get_port_numbers(devices[i], ports, sizeof ports);
        if (libusb_get_bus_number(devices[i]) != path.bus || count != int(path.ports.size()))
            continue;
        if (std::equal(path.ports.begin(), path.ports.end(), ports))
            return devices[i];
    }
    return nullptr;
}

bool isDfuMode(const libusb_interface_descriptor& alt) {
    return alt.bInterfaceClass == kDfuClass && alt.bInterfaceSubClass == kDfuSubclass &&
           alt.bInterfaceProtocol == kDfuModeProtocol;
}

// Looks for the functional descriptor among the class-specific bytes after a descriptor.
bool parseFunctional(const unsigned char* extra, int length, DfuFunctional* functional) {
    int pos = 0;
    while (extra && pos + 2 <= length) {
        const uint8_t bLength = extra[pos];
        if (bLength < 2 || pos + bLength > length)
            return false;
        if (extra[pos + 1] == kDfuFunctionalType && bLength >= kDfuFunctionalLength) {
            const unsigned char* d = extra + pos;
            functional->bmAttributes = d[2];
            functional->wTransferSize = uint16_t(d[5] | (d[6] << 8));
            functional->bcdDfuVersion = uint16_t(d[7] | (d[8] << 8));
            return true;
        }
        pos += bLength;
    }
    return false;
}

}  // namespace

uint32_t codeFromLibusb(int result) {
    switch (result) {
        case LIBUSB_SUCCESS:
            return kDfuSuccess;
        case LIBUSB_ERROR_NO_DEVICE:
            return kDfuErrorDeviceGone;
        case LIBUSB_ERROR_TIMEOUT:
            return kDfuErrorTimeout;
        case LIBUSB_ERROR_PIPE:
            return kDfuErrorRequestStalled;
        default:
            return result >= 0 ? kDfuSuccess : kDfuErrorUsbTransfer;
    }
}

uint32_t DfuInterface::open(const std::string& pathText, std::unique_ptr<DfuInterface>* opened) {
    std::optional<DevicePath> path = DevicePath::parse(pathText);
    if (!path)
        return kDfuErrorBadDevicePath;
    std::unique_ptr<DfuInterface> dfu(new DfuInterface());
    dfu->path_ = *path;
    dfu->context_ = makeUsbContext();
    if (!dfu->context_)
        return kDfuErrorUsbInit;

    UsbDeviceList devices(dfu->context_.get());
    libusb_device* device = findDevice(devices, *path);
    if (!device)
        return kDfuErrorDeviceNotFound;
    libusb_config_descriptor* rawConfig = nullptr;
    if (libusb_get_active_config_descriptor(device, &rawConfig) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(device, 0, &rawConfig) != LIBUSB_SUCCESS)
        return kDfuErrorBadDescriptor;
    UsbConfig config(rawConfig);

    bool found = false;
    bool haveFunctional = false;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = interface.altsetting[a];
            if (alt.bInterfaceNumber != path->interfaceNumber)
                break;
            if (!isDfuMode(alt))
                break;
            found = true;
            dfu->alternateStrings_.push_back(alt.iInterface);
            if (!haveFunctional)
                haveFunctional = parseFunctional(alt.extra, alt.extra_length, &dfu->functional_);
        }
    }
    if (!found)
        return kDfuErrorNotDfuInterface;
    if (!haveFunctional)
        haveFunctional = parseFunctional(config->extra, config->extra_length, &dfu->functional_);
    if (!haveFunctional || dfu->functional_.wTransferSize == 0)
        return kDfuErrorBadDescriptor;

    libusb_device_handle* handle = nullptr;
    const int result = libusb_open(device, &handle);
    if (result != LIBUSB_SUCCESS)
        return result == LIBUSB_ERROR_NO_DEVICE ? kDfuErrorDeviceGone : kDfuErrorOpenDevice;
    dfu->handle_.reset(handle);
    *opened = std::move(dfu);
    return kDfuSuccess;
}

DfuInterface::~DfuInterface() = default;

uint32_t DfuInterface::select(uint32_t configuration, uint32_t alternate) {
    libusb_device* device = libusb_get_device(handle_.get());
    libusb_config_descriptor* rawConfig = nullptr;
    if (configuration > 255 ||
        libusb_get_config_descriptor(device, uint8_t(configuration), &rawConfig) != LIBUSB_SUCCESS)
        return kDfuErrorInvalidArgument;
    const int wanted = UsbConfig(rawConfig)->bConfigurationValue;
    if (alternate >= alternateStrings_.size())
        return kDfuErrorInvalidArgument;

    // Setting the configuration that is already active would reset the device's interfaces.
    int current = 0;
    int result = libusb_get_configuration(handle_.get(), &current);
    if (result == LIBUSB_SUCCESS && current != wanted)
        result = libusb_set_configuration(handle_.get(), wanted);
    if (result != LIBUSB_SUCCESS)
        return codeFromLibusb(result);
    if (!claimed_) {
        result = libusb_claim_interface(handle_.get(), path_.interfaceNumber);
        if (result != LIBUSB_SUCCESS)
            return codeFromLibusb(result);
        claimed_ = std::make_unique<ClaimedInterface>(handle_.get(), path_.interfaceNumber);
    }
    return codeFromLibusb(
        libusb_set_interface_alt_setting(handle_.get(), path_.interfaceNumber, int(alternate)));
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

uint32_t DfuInterface::dnload(uint16_t blockNumber, const uint8_t* data, uint16_t length) {
    const int result = controlOut(kDfuDnload, /*wValue=*/blockNumber, data, /*wLength=*/length);
    if (result >= 0 && result != length)
        return kDfuErrorUsbTransfer;
    return codeFromLibusb(result);
}

uint32_t DfuInterface::upload(uint16_t blockNumber, uint8_t* data, uint16_t length,
                              uint16_t* received) {
    const int result = controlIn(kDfuUpload, /*wValue=*/blockNumber, data, /*wLength=*/length);
    *received = result > 0 ? uint16_t(result) : 0;
    return codeFromLibusb(result);
}

uint32_t DfuInterface::getStatus(DfuStatus* status) {
    uint8_t reply[6] = {};
    const int result = controlIn(kDfuGetStatus, /*wValue=*/0, reply, /*wLength=*/sizeof reply);
    if (result >= 0 && result != int(sizeof reply))
        return kDfuErrorUsbTransfer;
    if (result < 0)
        return codeFromLibusb(result);
    status->bStatus = reply[0];
    status->bwPollTimeout[0] = reply[1];
    status->bwPollTimeout[1] = reply[2];
    status->bwPollTimeout[2] = reply[3];
    status->bState = reply[4];
    status->iString = reply[5];
    return kDfuSuccess;
}

uint32_t DfuInterface::clrStatus() {
    return codeFromLibusb(controlOut(kDfuClrStatus, /*wValue=*/0, nullptr, /*wLength=*/0));
}

uint32_t DfuInterface::getState(uint8_t* state) {
    const int result = controlIn(kDfuGetState, /*wValue=*/0, state, /*wLength=*/1);
    if (result == 0)
        return kDfuErrorUsbTransfer;
    return codeFromLibusb(result);
}

uint32_t DfuInterface::abort() {
    return codeFromLibusb(controlOut(kDfuAbort, /*wValue=*/0, nullptr, /*wLength=*/0));
}

uint32_t DfuInterface::alternateNames(std::vector<std::string>* names) {
    names->clear();
    for (uint8_t index : alternateStrings_) {
        unsigned char text[256] = {};
        const int length = index == 0 ? 0
                                      : libusb_get_string_descriptor_ascii(handle_.get(), index,
                                                                           text, sizeof text - 1);
        if (length < 0)
            return codeFromLibusb(length);
        names->emplace_back(reinterpret_cast<const char*>(text), size_t(length));
    }
    return kDfuSuccess;
}

}  // namespace dfuse
