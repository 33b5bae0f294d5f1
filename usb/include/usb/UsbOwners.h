#pragma once

#include <libusb.h>

#include <memory>

// Owners for the libusb objects the tool holds, shared by the unit link (tarnlib) and the DFU
// library (dfuse), so that every exit path releases what it obtained, in the right order.
namespace usb {

struct ContextDeleter {
    void operator()(libusb_context* context) const { libusb_exit(context); }
};
using Context = std::unique_ptr<libusb_context, ContextDeleter>;

struct HandleDeleter {
    void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using Handle = std::unique_ptr<libusb_device_handle, HandleDeleter>;

struct ConfigDeleter {
    void operator()(libusb_config_descriptor* config) const {
        libusb_free_config_descriptor(config);
    }
};
using Config = std::unique_ptr<libusb_config_descriptor, ConfigDeleter>;

// A context of the caller's own, so that no two users share libusb state; null when libusb
// cannot start.
inline Context makeContext() {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS) {
        return nullptr;
    }
    return Context(context);
}

// The device list of a context; unreferences the devices it holds when released or destroyed.
// A missing context or a failed listing gives an empty list.
class DeviceList {
  public:
    explicit DeviceList(libusb_context* context) {
        if (context == nullptr) {
            return;
        }
        const ssize_t count = libusb_get_device_list(context, &list_);
        count_ = count > 0 ? static_cast<size_t>(count) : 0;
        if (count < 0) {
            list_ = nullptr;
        }
    }
    ~DeviceList() { release(); }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    void release() {
        if (list_ != nullptr) {
            libusb_free_device_list(list_, 1);
            list_ = nullptr;
            count_ = 0;
        }
    }
    size_t size() const { return count_; }
    libusb_device* operator[](size_t i) const { return list_[i]; }
    libusb_device* const* begin() const { return list_; }
    libusb_device* const* end() const { return list_ + count_; }

  private:
    libusb_device** list_ = nullptr;
    size_t count_ = 0;
};

// A claimed interface, released before its handle is closed (declare it after the handle).
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

}  // namespace usb
