#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DevicePath.h"
#include "UsbResources.h"
#include "dfuse/DfuProtocol.h"

namespace dfuse {

// What the DFU functional descriptor tells the host.
struct DfuFunctional {
    uint8_t bmAttributes = 0;
    uint16_t wTransferSize = 0;
    uint16_t bcdDfuVersion = 0;

    bool canUpload() const { return (bmAttributes & 0x02) != 0; }
};

// One opened DFU-mode interface and the class requests on it, one function per request.
// Results are dfuse return codes.
class DfuInterface {
  public:
    // Opens the device at `path` (any letter case) and checks that the interface named there is
    // a DFU-mode interface with a usable functional descriptor.
    static uint32_t open(const std::string& path, std::unique_ptr<DfuInterface>* opened);

    ~DfuInterface();

    // Sets configuration index `configuration`, claims the interface and selects `alternate`.
    uint32_t select(uint32_t configuration, uint32_t alternate);

    uint32_t dnload(uint16_t blockNumber, const uint8_t* data, uint16_t length);
    uint32_t upload(uint16_t blockNumber, uint8_t* data, uint16_t length, uint16_t* received);
    uint32_t getStatus(DfuStatus* status);
    uint32_t clrStatus();
    uint32_t getState(uint8_t* state);
    uint32_t abort();

    // The iInterface text of each alternate setting, in alternate-setting order.
    uint32_t alternateNames(std::vector<std::string>* names);

    const DfuFunctional& functional() const { return functional_; }
    uint8_t interfaceNumber() const { return path_.interfaceNumber; }

  private:
    DfuInterface() = default;

    int controlOut(uint8_t bRequest, uint16_t wValue, const uint8_t* data, uint16_t wLength);
    int controlIn(uint8_t bRequest, uint16_t wValue, uint8_t* data, uint16_t wLength);

    // Declared in release order, last first: the claim goes before the handle, the handle
    // before the context.
    UsbContext context_;
    UsbHandle handle_;
    std::unique_ptr<ClaimedInterface> claimed_;
    DevicePath path_;
    DfuFunctional functional_;
    std::vector<uint8_t> alternateStrings_;
};

// The dfuse code for a libusb result.
uint32_t codeFromLibusb(int result);

}  // namespace dfuse
