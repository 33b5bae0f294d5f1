#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "DfuInterface.h"

namespace dfuse {

// Data blocks start at number 2. Block numbers are 16 bits, so the address pointer is moved on
// well before they would wrap.
inline constexpr uint32_t kFirstDataBlock = 2;
inline constexpr uint32_t kBlocksPerPointer = 0x4000;

// The DfuSe conversation with an opened interface: commands, data blocks and the status polls
// between them. Every wait honours the device's bwPollTimeout through platform::sleepMs. Every
// failure is raised as a DfuError naming the command, its address and what the device reported.
class DfuseSession {
  public:
    explicit DfuseSession(DfuInterface& dfu) : dfu_(dfu) {}

    // Brings the device to dfuIDLE from any state that leads there: clears dfuERROR, aborts a
    // download or upload, waits out a command under way. Each status is followed by the
    // bwPollTimeout it asks for; at most four requests are made, after which a device that is
    // still not idle fails with kDfuErrorUnexpectedState. The only routine that does this:
    // every operation starts with it and STDFU_BringToIdle offers it to callers.
    void ensureIdle();
    // The same from `status`, the status the device has just reported; gives the final status.
    DfuStatus bringToIdle(DfuStatus status);

    // Ends a finished download or upload: ABORT takes the device from dfuDNLOAD-IDLE,
    // dfuUPLOAD-IDLE or dfuIDLE straight to dfuIDLE (DFU 1.1), so no status request follows.
    void abortToIdle();

    void setAddressPointer(uint32_t address);
    // Erases the page or sector that holds `address`.
    void eraseSector(uint32_t address);
    // Writes one block at (blockNumber - 2) * wTransferSize + address pointer, which is
    // `address`; the address only names the block in a failure.
    void writeBlock(uint16_t blockNumber, uint32_t address, const uint8_t* data, uint16_t length);
    // Reads one block from the same place; the device must be idle before the first block.
    void readBlock(uint16_t blockNumber, uint32_t address, uint8_t* data, uint16_t length);
    // Starts the application at `address`: the device leaves DFU mode.
    void leave(uint32_t address);

  private:
    void stepTowardIdle(const DfuStatus& status);
    // A DNLOAD (block 0 for commands) followed by status polls until the device is done.
    void download(uint16_t blockNumber, const uint8_t* data, uint16_t length,
                  const std::string& what);
    void pollUntilDone(const std::string& what);
    // Sends one request for `what`; a stalled one fails with the reason the device gives, any
    // other failure with `what` in front.
    template <typename Request>
    auto request(const std::string& what, Request&& send) -> decltype(send());
    // After a stalled request: the reason the device gives for it.
    [[noreturn]] void failStalled(const std::string& what, const std::string& stall);

    DfuInterface& dfu_;
};

// Reads memory block by block at the addresses asked for, starting from dfuIDLE, with as few Set
// Address Pointer commands as DfuSe allows: a block goes by its number behind the pointer set
// last ((number - 2) x wTransferSize + pointer) while it lies a whole number of blocks past it
// within the block numbers; otherwise it goes as block 2 behind a pointer of its own, as does a
// short block, which a chip may place by its own length.
class MemoryReader {
  public:
    MemoryReader(DfuseSession& session, uint16_t transferSize)
        : session_(session), transferSize_(transferSize) {}

    // Reads `length` (at most wTransferSize) bytes at `address` into `data`.
    void read(uint32_t address, uint8_t* data, uint16_t length);
    // Ends the upload: the device is back in dfuIDLE.
    void finish();

  private:
    DfuseSession& session_;
    const uint16_t transferSize_;
    std::optional<uint32_t> pointer_;
    bool uploading_ = false;
};

}  // namespace dfuse
