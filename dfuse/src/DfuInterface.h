#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DevicePath.h"
#include "dfuse/DfuProtocol.h"
#include "usb/UsbOwners.h"

namespace dfuse {

// What the DFU functional descriptor tells the host.
struct DfuFunctional {
    uint8_t bmAttributes = 0;
    uint16_t wTransferSize = 0;
    uint16_t bcdDfuVersion = 0;

    bool canUpload() const { return (bmAttributes & 0x02) != 0; }
};

// One opened DFU-mode interface and the class requests on it, one function per request. Every
// failure is raised as a DfuError that names the request.
class DfuInterface {
  public:
    // Opens the device at `path` (any letter case) and checks that the interface named there is
    // a DFU-mode interface with a usable functional descriptor.
    static std::unique_ptr<DfuInterface> open(const std::string& path);

    ~DfuInterface();

    // Sets configuration index `configuration`, claims the interface and selects `alternate`.
    void select(uint32_t configuration, uint32_t alternate);

    void dnload(uint16_t blockNumber, const uint8_t* data, uint16_t length);
    // The number of bytes received.
    uint16_t upload(uint16_t blockNumber, uint8_t* data, uint16_t length);
    DfuStatus getStatus();
    void clrStatus();
    void abort();

    // The iInterface text of each alternate setting, in alternate-setting order.
    std::vector<std::string> alternateNames();
    // The iInterface text of one alternate setting: one string request instead of one for each.
    std::string alternateName(uint32_t alternate);
    uint32_t alternateCount() const { return uint32_t(alternateStrings_.size()); }

    const DfuFunctional& functional() const { return functional_; }
    uint8_t interfaceNumber() const { return path_.interfaceNumber; }
    const std::string& pathText() const { return pathText_; }

  private:
    DfuInterface() = default;

    // The alternate settings of the interface the path names and its functional descriptor.
    void readDescriptors(const libusb_config_descriptor& config);
    int controlOut(uint8_t bRequest, uint16_t wValue, const uint8_t* data, uint16_t wLength);
    int controlIn(uint8_t bRequest, uint16_t wValue, uint8_t* data, uint16_t wLength);

    // Declared in release order, last first: the claim goes before the handle, the handle
    // before the context.
    usb::Context context_;
    usb::Handle handle_;
    std::unique_ptr<usb::ClaimedInterface> claimed_;
    DevicePath path_;
    std::string pathText_;
    DfuFunctional functional_;
    std::vector<uint8_t> alternateStrings_;
};

// Whether an alternate setting is a DFU-mode one (class 0xFE, subclass 1, protocol 2).
bool isDfuMode(const libusb_interface_descriptor& alt);

// The device's active configuration, else its first; null when neither can be read.
usb::Config deviceConfig(libusb_device* device);

// Raises the DfuError for a failed libusb call (`result` < 0) on `what`; returns otherwise.
void checkLibusb(int result, const std::string& what);

}  // namespace dfuse
