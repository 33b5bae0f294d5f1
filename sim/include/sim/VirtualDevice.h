#pragma once

#include <libusb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Bus;

// The setup packet of a control transfer.
struct ControlSetup {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool deviceToHost() const { return (bmRequestType & LIBUSB_ENDPOINT_IN) != 0; }
};

// A full-speed device descriptor with one configuration and its manufacturer, product and
// serial number at string indexes 1, 2 and 3, as both simulated devices have them.
inline libusb_device_descriptor fullSpeedDeviceDescriptor(uint16_t vendor, uint16_t product,
                                                          uint16_t release) {
    libusb_device_descriptor d{};
    d.bLength = LIBUSB_DT_DEVICE_SIZE;
    d.bDescriptorType = LIBUSB_DT_DEVICE;
    d.bcdUSB = 0x0200;
    d.bMaxPacketSize0 = 64;
    d.idVendor = vendor;
    d.idProduct = product;
    d.bcdDevice = release;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = 3;
    d.bNumConfigurations = 1;
    return d;
}

// The standard requests any configured device answers (USB 2.0 9.4.4, 9.4.5), from its
// configuration descriptor: GET_STATUS of the device (self powered as the descriptor says), of
// one of its interfaces or endpoints (no halt, no remote wake-up), and GET_INTERFACE (the
// alternate setting in use). Nothing for other requests; a stall for one of these that names
// no interface or endpoint of the device.
inline std::optional<int> answerStatusRequest(const ControlSetup& setup, uint8_t* data,
                                              const std::vector<uint8_t>& config,
                                              uint8_t alternate) {
    const uint8_t recipient = setup.bmRequestType & 0x1F;
    const bool status = setup.bRequest == LIBUSB_REQUEST_GET_STATUS && setup.wLength == 2;
    const bool getInterface = setup.bRequest == LIBUSB_REQUEST_GET_INTERFACE &&
                              setup.wLength == 1 && recipient == LIBUSB_RECIPIENT_INTERFACE;
    if ((setup.bmRequestType & 0x60) != LIBUSB_REQUEST_TYPE_STANDARD || !setup.deviceToHost() ||
        !(status || getInterface)) {
        return std::nullopt;
    }
    const uint8_t wanted = recipient == LIBUSB_RECIPIENT_INTERFACE  ? LIBUSB_DT_INTERFACE
                           : recipient == LIBUSB_RECIPIENT_ENDPOINT ? LIBUSB_DT_ENDPOINT
                                                                    : 0;
    bool known = recipient == LIBUSB_RECIPIENT_DEVICE ||
                 (recipient == LIBUSB_RECIPIENT_ENDPOINT && (setup.wIndex & 0x7F) == 0);
    for (size_t at = 0; at + 2 < config.size() && config[at] >= 2; at += config[at]) {
        known = known || (config[at + 1] == wanted && config[at + 2] == (setup.wIndex & 0xFF));
    }
    if (!known || setup.wValue != 0) {
        return LIBUSB_ERROR_PIPE;
    }
    if (getInterface) {
        data[0] = alternate;
        return 1;
    }
    const bool selfPowered = config.size() > 7 && (config[7] & 0x40) != 0;
    data[0] = recipient == LIBUSB_RECIPIENT_DEVICE && selfPowered ? 1 : 0;
    data[1] = 0;
    return 2;
}

// A device model on the virtual bus. The bus calls it from the libusb functions; results are
// libusb codes (LIBUSB_SUCCESS, LIBUSB_ERROR_PIPE for a stall, LIBUSB_ERROR_TIMEOUT, ...).
// The bus charges each transfer its bus time afterwards; on LIBUSB_ERROR_TIMEOUT it makes the
// transfer last its whole time-out, counting what the handler already spent.
class VirtualDevice {
  public:
    virtual ~VirtualDevice() = default;

    virtual libusb_device_descriptor deviceDescriptor() const = 0;
    // The whole configuration descriptor: configuration, interface (all alternate settings),
    // class-specific and endpoint descriptors, wTotalLength bytes.
    virtual std::vector<uint8_t> configDescriptor() const = 0;
    // The text of string descriptor `index`, or nothing when the device has none there.
    virtual std::optional<std::string> stringDescriptor(uint8_t index) const = 0;

    virtual int open() { return LIBUSB_SUCCESS; }
    virtual void close() {}
    virtual int setConfiguration(int /*configuration*/) { return LIBUSB_SUCCESS; }
    virtual int claimInterface(int /*interfaceNumber*/) { return LIBUSB_SUCCESS; }
    virtual int releaseInterface(int /*interfaceNumber*/) { return LIBUSB_SUCCESS; }
    virtual int setAltSetting(int /*interfaceNumber*/, int /*alternate*/) { return LIBUSB_SUCCESS; }
    virtual int reset() { return LIBUSB_SUCCESS; }

    // A control transfer. For device-to-host requests the device writes up to wLength bytes to
    // `data`; for host-to-device requests `data` holds wLength bytes. Returns the number of
    // bytes moved, or a libusb error code.
    virtual int control(const ControlSetup& setup, uint8_t* data, unsigned timeoutMs) = 0;

    // A bulk transfer on `endpoint` (bit 7 set: IN). Sets *transferred to the bytes moved
    // (also on a time-out, where it may be partial) and returns a libusb code.
    virtual int bulk(uint8_t /*endpoint*/, uint8_t* /*data*/, int /*length*/, int* transferred,
                     unsigned /*timeoutMs*/) {
        *transferred = 0;
        return LIBUSB_ERROR_PIPE;
    }

    // Whether a bulk IN transfer on `endpoint` would find data now; asking is no transfer (the
    // usbfs bridge waits for data this way without moving per-transfer fault counters).
    virtual bool inReady(uint8_t /*endpoint*/) const { return true; }

    // Called by the bus when the device is plugged in and when it is unplugged; a device uses
    // the bus to leave it or to re-enumerate as another device (a unit restarting into its boot
    // loader and back).
    virtual void attached(Bus& bus) { bus_ = &bus; }
    virtual void detached() { bus_ = nullptr; }

  protected:
    Bus* bus() const { return bus_; }

  private:
    Bus* bus_ = nullptr;
};

}  // namespace sim
