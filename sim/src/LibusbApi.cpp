// The libusb-1.0 functions of the virtual bus: contexts, device lists, handles and synchronous
// transfers, behaving as libusb documents them. Every entry point takes the simulation lock.

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "InterfaceClaims.h"
#include "LibusbObjects.h"
#include "sim/VirtualClock.h"

using sim::Attachment;
using sim::Bus;
using sim::VirtualClock;

namespace {

libusb_context* defaultContext = nullptr;
int liveContexts = 0;

libusb_context* resolve(libusb_context* context) {
    return context ? context : defaultContext;
}

void endContext(libusb_context* context) {
    for (libusb_device* device : context->devices) {
        device->context = nullptr;
    }
    delete context;
    if (--liveContexts == 0) {
        Bus::instance().contextsEnded();
    }
}

bool present(const libusb_device_handle* handle) {
    return handle != nullptr && handle->device->attachment->present;
}

// Standard requests the bus answers from the device's descriptors; the rest go to the device.
int standardOrDeviceControl(Attachment& attachment, const sim::ControlSetup& setup, uint8_t* data,
                            unsigned timeoutMs) {
    sim::VirtualDevice& device = *attachment.device;
    bool standardToDevice = (setup.bmRequestType & 0x7F) == LIBUSB_RECIPIENT_DEVICE;
    if (standardToDevice && setup.bRequest == LIBUSB_REQUEST_GET_DESCRIPTOR &&
        setup.deviceToHost()) {
        uint8_t type = setup.wValue >> 8;
        uint8_t index = setup.wValue & 0xFF;
        std::vector<uint8_t> bytes;
        if (type == LIBUSB_DT_DEVICE) {
            bytes = sim::deviceDescriptorBytes(device.deviceDescriptor());
        } else if (type == LIBUSB_DT_CONFIG && index == 0) {
            bytes = device.configDescriptor();
        } else if (type == LIBUSB_DT_STRING) {
            bytes = sim::stringDescriptorBytes(device, index);
        }
        if (bytes.empty()) {
            return LIBUSB_ERROR_PIPE;
        }
        size_t count = std::min<size_t>(bytes.size(), setup.wLength);
        std::copy_n(bytes.begin(), count, data);
        return static_cast<int>(count);
    }
    if (standardToDevice && setup.bRequest == LIBUSB_REQUEST_GET_CONFIGURATION &&
        setup.deviceToHost() && setup.wLength >= 1) {
        data[0] = static_cast<uint8_t>(attachment.configuration);
        return 1;
    }
    if (standardToDevice && setup.bRequest == LIBUSB_REQUEST_SET_CONFIGURATION &&
        !setup.deviceToHost()) {
        int result = device.setConfiguration(setup.wValue);
        if (result == LIBUSB_SUCCESS) {
            attachment.configuration = setup.wValue;
        }
        return result;
    }
    return device.control(setup, data, timeoutMs);
}

// Bus time of a finished transfer. A time-out lasts the whole time-out from the transfer's
// start, including whatever the device already waited in its handler.
void spendTransferTime(int result, size_t moved, bool control, unsigned timeoutMs,
                       uint64_t startUs) {
    const uint64_t now = VirtualClock::nowUs();
    uint64_t us = Bus::transferEndUs(now, moved, control) - now;
    if (result == LIBUSB_ERROR_TIMEOUT) {
        uint64_t elapsed = now - startUs;
        uint64_t timeoutUs = VirtualClock::fromProgramUs(uint64_t{timeoutMs} * 1000);
        us = timeoutUs > elapsed ? std::max(us, timeoutUs - elapsed) : 0;
    }
    Bus::instance().spendUs(us);
}

// libusb on Linux leaves the errno of the failed usbfs request behind, and programs such as
// lsusb print it; a stall is EPIPE there.
void setErrno(int result) {
    switch (result) {
        case LIBUSB_ERROR_PIPE:
            errno = EPIPE;
            break;
        case LIBUSB_ERROR_TIMEOUT:
            errno = ETIMEDOUT;
            break;
        case LIBUSB_ERROR_NO_DEVICE:
            errno = ENODEV;
            break;
        default:
            break;
    }
}

}  // namespace

int LIBUSB_CALL libusb_init(libusb_context** context) {
    VirtualClock::Lock lock;
    if (!Bus::instance().loadScenarioFromEnvironmentOnce()) {
        return LIBUSB_ERROR_OTHER;
    }
    if (context != nullptr) {
        *context = new libusb_context;
        ++liveContexts;
    } else if (defaultContext != nullptr) {
        ++defaultContext->users;
    } else {
        defaultContext = new libusb_context;
        ++liveContexts;
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* context) {
    VirtualClock::Lock lock;
    if (context == nullptr || context == defaultContext) {
        if (defaultContext != nullptr && --defaultContext->users == 0) {
            libusb_context* ending = defaultContext;
            defaultContext = nullptr;
            endContext(ending);
        }
        return;
    }
    endContext(context);
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* context, libusb_device*** list) {
    VirtualClock::Lock lock;
    context = resolve(context);
    if (context == nullptr || list == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    std::vector<std::shared_ptr<Attachment>> attachments = Bus::instance().attachments();
    auto* devices = new libusb_device*[attachments.size() + 1];
    size_t count = 0;
    // The newest device first, as libusb on Linux keeps its list.
    for (auto it = attachments.rbegin(); it != attachments.rend(); ++it) {
        const std::shared_ptr<Attachment>& attachment = *it;
        auto known = std::find_if(context->devices.begin(), context->devices.end(),
                                  [&](libusb_device* d) { return d->attachment == attachment; });
        if (known != context->devices.end()) {
            ++(*known)->references;
            devices[count++] = *known;
        } else {
            auto* device = new libusb_device{context, 1, attachment};
            context->devices.push_back(device);
            devices[count++] = device;
        }
    }
    devices[count] = nullptr;
    *list = devices;
    return static_cast<ssize_t>(count);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unrefDevices) {
    if (list == nullptr) {
        return;
    }
    if (unrefDevices) {
        for (libusb_device** d = list; *d != nullptr; ++d) {
            libusb_unref_device(*d);
        }
    }
    delete[] list;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* device) {
    VirtualClock::Lock lock;
    ++device->references;
    return device;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* device) {
    if (device == nullptr) {
        return;
    }
    VirtualClock::Lock lock;
    if (--device->references > 0) {
        return;
    }
    if (device->context != nullptr) {
        auto& known = device->context->devices;
        known.erase(std::remove(known.begin(), known.end(), device), known.end());
    }
    delete device;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device,
                                             libusb_device_descriptor* descriptor) {
    VirtualClock::Lock lock;
    *descriptor = device->attachment->device->deviceDescriptor();
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* device, uint8_t index,
                                             libusb_config_descriptor** config) {
    VirtualClock::Lock lock;
    if (index >= device->attachment->device->deviceDescriptor().bNumConfigurations) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return sim::parseConfigDescriptor(device->attachment->device->configDescriptor(), config);
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* device,
                                                    libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(device, 0, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* device, uint8_t value,
                                                      libusb_config_descriptor** config) {
    VirtualClock::Lock lock;
    std::vector<uint8_t> raw = device->attachment->device->configDescriptor();
    if (raw.size() < LIBUSB_DT_CONFIG_SIZE || raw[5] != value) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return sim::parseConfigDescriptor(raw, config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* device) {
    VirtualClock::Lock lock;
    return device->attachment->busNumber;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* device) {
    VirtualClock::Lock lock;
    const auto& path = device->attachment->portPath;
    return path.empty() ? 0 : path.back();
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* device, uint8_t* ports, int length) {
    VirtualClock::Lock lock;
    const auto& path = device->attachment->portPath;
    if (length <= 0 || static_cast<size_t>(length) < path.size()) {
        return LIBUSB_ERROR_OVERFLOW;
    }
    std::copy(path.begin(), path.end(), ports);
    return static_cast<int>(path.size());
}

int LIBUSB_CALL libusb_get_port_path(libusb_context*, libusb_device* device, uint8_t* path,
                                     uint8_t length) {
    return libusb_get_port_numbers(device, path, length);
}

libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*) {
    return nullptr;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* device) {
    VirtualClock::Lock lock;
    return device->attachment->address;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device*) {
    return LIBUSB_SPEED_FULL;
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* device, unsigned char endpoint) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) {
        return LIBUSB_ERROR_OTHER;
    }
    int result = LIBUSB_ERROR_NOT_FOUND;
    for (int i = 0; i < config->bNumInterfaces && result < 0; ++i) {
        for (int a = 0; a < config->interface[i].num_altsetting && result < 0; ++a) {
            const libusb_interface_descriptor& alt = config->interface[i].altsetting[a];
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                if (alt.endpoint[e].bEndpointAddress == endpoint) {
                    result = alt.endpoint[e].wMaxPacketSize;
                    break;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    return result;
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
    VirtualClock::Lock lock;
    if (!device->attachment->present) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    int result = device->attachment->device->open();
    if (result != LIBUSB_SUCCESS) {
        return result;
    }
    libusb_ref_device(device);
    *handle = new libusb_device_handle{device, {}};
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
    if (handle == nullptr) {
        return;
    }
    VirtualClock::Lock lock;
    if (present(handle)) {
        for (int interfaceNumber : handle->claimed) {
            sim::releaseInterface(*handle->device->attachment, interfaceNumber);
            handle->device->attachment->device->releaseInterface(interfaceNumber);
        }
        handle->device->attachment->device->close();
    }
    libusb_unref_device(handle->device);
    delete handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) {
    return handle->device;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* context,
                                                                  uint16_t vendorId,
                                                                  uint16_t productId) {
    VirtualClock::Lock lock;
    libusb_device** list = nullptr;
    if (libusb_get_device_list(context, &list) < 0) {
        return nullptr;
    }
    libusb_device_handle* handle = nullptr;
    for (libusb_device** d = list; *d != nullptr; ++d) {
        libusb_device_descriptor descriptor = (*d)->attachment->device->deviceDescriptor();
        if (descriptor.idVendor == vendorId && descriptor.idProduct == productId) {
            if (libusb_open(*d, &handle) != LIBUSB_SUCCESS) {
                handle = nullptr;
            }
            break;
        }
    }
    libusb_free_device_list(list, 1);
    return handle;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* configuration) {
    VirtualClock::Lock lock;
    if (!present(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    *configuration = handle->device->attachment->configuration;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int configuration) {
    VirtualClock::Lock lock;
    if (!present(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (sim::anyInterfaceClaimed(*handle->device->attachment)) {
        return LIBUSB_ERROR_BUSY;
    }
    int result =
        libusb_control_transfer(handle, LIBUSB_ENDPOINT_OUT, LIBUSB_REQUEST_SET_CONFIGURATION,
                                static_cast<uint16_t>(configuration), 0, nullptr, 0, 1000);
    if (result == LIBUSB_ERROR_PIPE) {
        return LIBUSB_ERROR_NOT_FOUND;  // the device has no such configuration
    }
    return result < 0 ? result : LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interfaceNumber) {
    VirtualClock::Lock lock;
    if (!present(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (std::find(handle->claimed.begin(), handle->claimed.end(), interfaceNumber) !=
        handle->claimed.end()) {
        return LIBUSB_SUCCESS;
    }
    int result = sim::claimInterface(*handle->device->attachment, handle, interfaceNumber);
    if (result == LIBUSB_SUCCESS) {
        handle->claimed.push_back(interfaceNumber);
    }
    return result;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interfaceNumber) {
    VirtualClock::Lock lock;
    if (!present(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    auto it = std::find(handle->claimed.begin(), handle->claimed.end(), interfaceNumber);
    if (it == handle->claimed.end()) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    handle->claimed.erase(it);
    sim::releaseInterface(*handle->device->attachment, interfaceNumber);
    return handle->device->attachment->device->releaseInterface(interfaceNumber);
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* handle, int interfaceNumber,
                                                 int alternate) {
    VirtualClock::Lock lock;
    if (!present(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (std::find(handle->claimed.begin(), handle->claimed.end(), interfaceNumber) ==
        handle->claimed.end()) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    return handle->device->attachment->device->setAltSetting(interfaceNumber, alternate);
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* handle, unsigned char) {
    VirtualClock::Lock lock;
    return present(handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* handle) {
    VirtualClock::Lock lock;
    if (!present(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    int result = handle->device->attachment->device->reset();
    Bus::instance().spendUs(Bus::kFrameUs);
    Bus::instance().changed();
    // A device that came back as another device is a new device: this handle is stale.
    return handle->device->attachment->present ? result : LIBUSB_ERROR_NOT_FOUND;
}

// No kernel drivers sit on the virtual bus.
int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* handle, int) {
    return present(handle) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* handle, int) {
    return present(handle) ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* handle, int) {
    return present(handle) ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) {
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t bmRequestType,
                                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                        unsigned char* data, uint16_t wLength,
                                        unsigned int timeout) {
    VirtualClock::Lock lock;
    if (!present(handle)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (wLength > 0 && data == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    std::shared_ptr<Attachment> attachment = handle->device->attachment;
    sim::ControlSetup setup{bmRequestType, bRequest, wValue, wIndex, wLength};
    uint64_t startUs = VirtualClock::nowUs();
    int result = standardOrDeviceControl(*attachment, setup, data, timeout);
    if (result > wLength) {
        result = LIBUSB_ERROR_OVERFLOW;  // a device model bug; never claim more than asked
    }
    spendTransferTime(result, result > 0 ? result : 0, true, timeout, startUs);
    Bus::instance().changed();
    setErrno(result);
    return result;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* transferred,
                                     unsigned int timeout) {
    VirtualClock::Lock lock;
    int moved = 0;
    int result = LIBUSB_ERROR_NO_DEVICE;
    if (!present(handle)) {
        result = LIBUSB_ERROR_NO_DEVICE;
    } else if (length < 0 || (length > 0 && data == nullptr)) {
        result = LIBUSB_ERROR_INVALID_PARAM;
    } else {
        std::shared_ptr<Attachment> attachment = handle->device->attachment;
        uint64_t startUs = VirtualClock::nowUs();
        result = attachment->device->bulk(endpoint, data, length, &moved, timeout);
        moved = std::clamp(moved, 0, length);
        spendTransferTime(result, static_cast<size_t>(moved), false, timeout, startUs);
        Bus::instance().changed();
    }
    if (transferred != nullptr) {
        *transferred = moved;
    }
    return result;
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                          unsigned char* data, int length, int* transferred,
                                          unsigned int timeout) {
    return libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                   unsigned char* data, int length) {
    if (index == 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (length <= 0 || data == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    unsigned char buffer[255];
    int result = libusb_get_string_descriptor(handle, 0, 0, buffer, sizeof buffer);
    if (result < 0) {
        return result;
    }
    if (result < 4) {
        return LIBUSB_ERROR_IO;
    }
    uint16_t language = static_cast<uint16_t>(buffer[2] | (buffer[3] << 8));
    result = libusb_get_string_descriptor(handle, index, language, buffer, sizeof buffer);
    if (result < 0) {
        return result;
    }
    if (result < 2 || buffer[1] != LIBUSB_DT_STRING || buffer[0] > result) {
        return LIBUSB_ERROR_IO;
    }
    int out = 0;
    for (int i = 2; i + 1 < buffer[0] && out < length - 1; i += 2) {
        data[out++] = (buffer[i + 1] != 0 || (buffer[i] & 0x80) != 0) ? '?' : buffer[i];
    }
    data[out] = 0;
    return out;
}
