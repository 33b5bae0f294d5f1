#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tarnlib/TransportLayer.h"
#include "usb/PortPath.h"
#include "usb/UsbOwners.h"

namespace trn {

// The link to a unit in normal operation over USB: finds the unit (optionally by port path and
// product name), opens configuration 1, interface 0, and moves settings data in CRC-protected
// frames. Every failure is thrown: std::system_error in the libusb category for USB library
// failures, std::runtime_error for protocol and lookup faults, std::invalid_argument for an
// over-long payload; nothing is logged.
class UsbTransportV2 : public TransportLayer {
  public:
    UsbTransportV2();
    ~UsbTransportV2() override;
    // The owner keeps the object in place and hands its address to the settings model.
    UsbTransportV2(const UsbTransportV2&) = delete;
    UsbTransportV2& operator=(const UsbTransportV2&) = delete;

    std::vector<uint8_t> readCatalogue() override;
    std::vector<uint8_t> readData(uint16_t offset, uint16_t length) override;
    void writeData(const std::vector<uint8_t>& data) override;
    bool commit() override;
    int reconnect() override;

    // A unit must lie on this port path or below it (on its bus, when it names one).
    void setPortFilter(const usb::PortPath& portPath);
    // A unit must carry exactly this product name; empty for any name.
    void setNameFilter(const std::string& name);
    // Asked, for every connection of every transport of the process, whether the unit found at
    // a place may be used, before it is configured and claimed; a refused unit fails the
    // connection with LIBUSB_ERROR_BUSY, as one that another program has claimed. None by default.
    static void setPlaceCheck(std::function<bool(const usb::PortPath&)> check);

    // The places of all attached units, filters not applied, no device opened.
    std::vector<usb::PortPath> listDevices();
    // The product name of the unit at exactly this place; empty when there is none.
    std::string productNameAt(const usb::PortPath& place);
    // Its serial number (USB string descriptor), likewise.
    std::string serialNumberAt(const usb::PortPath& place);
    // The place of the connected unit; none without a connection.
    usb::PortPath portNumbers();

    // A unit that the last connection attempt found but could not open: its port path and the
    // libusb code (such as LIBUSB_ERROR_ACCESS); code 0 when there was none.
    struct OpenFailure {
        usb::PortPath port;
        int code = 0;
        // The code says that the user lacks permission to open the device.
        bool accessDenied() const;
        // The code says that another program uses the device.
        bool inUse() const;
        // The code's libusb name and text.
        std::string text() const;
    };
    const OpenFailure& lastOpenFailure() const { return openFailure_; }

  private:
    void connect();
    void disconnect();
    void requireConnection() const;
    // A string descriptor of the unit at exactly this place, by the descriptor's index field.
    std::string stringAt(const usb::PortPath& place, uint8_t libusb_device_descriptor::*index);
    bool controlRequest(uint8_t request, uint16_t index, uint16_t value);
    void sendFrame(uint16_t kind, const std::vector<uint8_t>& payload);
    void receiveFrame(uint16_t& kind, std::vector<uint8_t>& payload);
    void receivePacket(std::vector<uint8_t>& buffer, unsigned maxLength);
    // One bulk IN read of up to a packet with a 1 ms time-out; false when it timed out.
    bool readPendingPacket();

    std::array<uint32_t, 256> crcTable_;
    bool compressed_ = false;
    // Declared in release order, last first: the claim goes before the handle, the handle
    // before the context.
    usb::Context context_;
    usb::Handle handle_;
    std::unique_ptr<usb::ClaimedInterface> claimed_;
    usb::PortPath portFilter_;
    std::string nameFilter_;
    std::string productName_;
    OpenFailure openFailure_;
};

}  // namespace trn
