#pragma once

#include <libusb.h>

#include <memory>

namespace dfuse {

// Owners for the libusb objects dfuse holds, so that every exit path releases them.

struct UsbContextDeleter {
    void operator()(libusb_context* context) const { libusb_exit(context); }
};
using UsbContext = std::unique_ptr<libusb_context, UsbContextDeleter>;

struct UsbHandleDeleter {
    void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using UsbHandle = std::unique_ptr<libusb_device_handle, UsbHandleDeleter>;

struct UsbConfigDeleter {
    void operator()(libusb_config_descriptor* config) const {
        libusb_free_config_descriptor(config);
    }
};
using UsbConfig = std::unique_ptr<libusb_config_descriptor, UsbConfigDeleter>;

// The device list of a context; unreferences the devices it holds when destroyed.
class UsbDeviceList {
  public:
    explicit UsbDeviceList(libusb_context* context) {
        const ssize_t count = libusb_get_device_list(context, &list_);
        count_ = count < 0 ? 0 : size_t(count);
        if (count < 0)
            list_ = nullptr;
    }
    ~UsbDeviceList() {
        if (list_)
            libusb_free_device_list(list_, 1);
    }
    UsbDeviceList(const UsbDeviceList&) = delete;
    UsbDeviceList& operator=(const UsbDeviceList&) = delete;

    size_t size() const { return count_; }
    libusb_device* operator[](size_t i) const { return list_[i]; }

  private:
    libusb_device** list_ = nullptr;
    size_t count_ = 0;
};

// A claimed interface, released before its handle is closed.
class ClaimedInterface {
  public:
    ClaimedInterface(libusb_device_handle* handle, int number) : handle_(handle), number_(number) {}
    ~ClaimedInterface() { libusb_release_interface(handle_, number_); }
    ClaimedInterface(const ClaimedInterface&) = delete;
    ClaimedInterface& operator=(const ClaimedInterface&) = delete;

  private:
    libusb_device_handle* handle_;
    int number_;
};

// Creates a context of our own, so that dfuse never shares state with other libusb users.
inline UsbContext makeUsbContext() {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS)
        return nullptr;
    return UsbContext(context);
}

}  // namespace dfuse
