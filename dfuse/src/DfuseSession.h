#pragma once

#include <cstdint>

#include "DfuInterface.h"

namespace dfuse {

// The DfuSe conversation with an opened interface: commands, data blocks and the status polls
// between them. Every wait honours the device's bwPollTimeout through platform::sleepMs.
class DfuseSession {
  public:
    explicit DfuseSession(DfuInterface& dfu) : dfu_(dfu) {}

    // Brings the device to dfuIDLE: clears dfuERROR and aborts a download or upload.
    uint32_t ensureIdle();

    uint32_t setAddressPointer(uint32_t address);
    // Erases the page or sector that holds `address`.
    uint32_t eraseSector(uint32_t address);
    // Writes one block at (blockNumber - 2) * wTransferSize + address pointer.
    uint32_t writeBlock(uint16_t blockNumber, const uint8_t* data, uint16_t length);
    // Reads one block from the same place; the device must be idle before the first block.
    uint32_t readBlock(uint16_t blockNumber, uint8_t* data, uint16_t length);
    // Starts the application at `address`: the device leaves DFU mode.
    uint32_t leave(uint32_t address);

  private:
    // A DNLOAD (block 0 for commands) followed by status polls until the device is done.
    uint32_t download(uint16_t blockNumber, const uint8_t* data, uint16_t length);
    uint32_t pollUntilDone(DfuStatus* status);
    // After a stalled request: the reason the device gives for it.
    uint32_t stallReason();

    DfuInterface& dfu_;
};

// The dfuse code for a DFU status the device reports.
uint32_t codeFromDeviceStatus(uint8_t bStatus);

}  // namespace dfuse
