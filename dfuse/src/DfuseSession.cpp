#include "DfuseSession.h"

#include <algorithm>

#include "DfuError.h"
#include "platform/Platform.h"
#include "usb/LittleEndian.h"

namespace dfuse {
namespace {

// The longest the device may stay busy with one command: well above a mass erase.
constexpr uint64_t kBusyLimitMs = 60000;
// Each request toward dfuIDLE (clear an error, abort a transfer, wait out a command) moves the
// device one state on; one that is not idle after this many never will be.
constexpr int kIdleSteps = 4;
constexpr const char* kToIdle = "bringing the device to dfuIDLE";

// DfuSe command bytes.
constexpr uint8_t kCommandSetAddress = 0x21;
constexpr uint8_t kCommandErase = 0x41;

using usb::putLe32;

// The dfuse code for a DFU status the device reports.
uint32_t codeFromDeviceStatus(uint8_t bStatus) {
    switch (bStatus) {
        case kDfuStatusOk:
            return kDfuSuccess;
        case kDfuStatusErrTarget:
        case kDfuStatusErrFile:
            return kDfuErrorDeviceTarget;
        case kDfuStatusErrWrite:
        case kDfuStatusErrProg:
            return kDfuErrorDeviceWrite;
        case kDfuStatusErrErase:
        case kDfuStatusErrCheckErased:
            return kDfuErrorDeviceErase;
        case kDfuStatusErrVerify:
            return kDfuErrorDeviceVerify;
        case kDfuStatusErrAddress:
            return kDfuErrorDeviceAddress;
        case kDfuStatusErrVendor:
            return kDfuErrorReadProtected;
        default:
            return kDfuErrorDeviceStatus;
    }
}

// "erase of sector at 0x08004000 failed: device reports dfuERROR / errERASE", with what the
// user can do about a read-protected chip.
[[noreturn]] void failWithStatus(const std::string& what, const DfuStatus& status) {
    uint32_t code = codeFromDeviceStatus(status.bStatus);
    std::string detail = what + " failed: device reports " + statusText(status);
    if (code == kDfuSuccess) {
        code = kDfuErrorUnexpectedState;
    }
    if (code == kDfuErrorReadProtected) {
        detail += " (read protection is active)";
    }
    fail(code, detail);
}

}  // namespace

void DfuseSession::ensureIdle() {
    bringToIdle(withContext(kToIdle, [&] { return dfu_.getStatus(); }));
}

DfuStatus DfuseSession::bringToIdle(DfuStatus status) {
    for (int step = 0;; ++step) {
        platform::sleepMs(dfuPollTimeoutMs(status));
        if (status.bState == kDfuStateIdle) {
            return status;
        }
        if (step == kIdleSteps) {
            fail(kDfuErrorUnexpectedState, std::string(kToIdle) + ": device still reports " +
                                               statusText(status) + " after " +
                                               std::to_string(kIdleSteps) + " requests");
        }
        stepTowardIdle(status);
        status = withContext(kToIdle, [&] { return dfu_.getStatus(); });
    }
}

void DfuseSession::stepTowardIdle(const DfuStatus& status) {
    try {
        switch (status.bState) {
            case kDfuStateError:
                dfu_.clrStatus();
                break;
            case kDfuStateDnloadIdle:
            case kDfuStateUploadIdle:
                dfu_.abort();
                break;
            case kDfuStateDnBusy:
            case kDfuStateDnloadSync:
                pollUntilDone("the command under way");
                break;
            default:
                fail(kDfuErrorUnexpectedState,
                     "device reports " + statusText(status) + ", which does not lead to dfuIDLE");
        }
    } catch (const DfuError& error) {
        // A command that failed on the device leaves it in dfuERROR, which the next step
        // clears; anything else ends the attempt.
        const uint32_t code = error.code();
        if (code != kDfuErrorDeviceErase && code != kDfuErrorDeviceWrite &&
            code != kDfuErrorDeviceStatus) {
            throw DfuError(code, std::string(kToIdle) + ": " + error.what());
        }
    }
}

void DfuseSession::abortToIdle() {
    request("returning the device to dfuIDLE", [&] { dfu_.abort(); });
}

void DfuseSession::setAddressPointer(uint32_t address) {
    uint8_t command[5] = {kCommandSetAddress};
    putLe32(command + 1, address);
    download(0, command, sizeof command, "setting the address pointer to " + hex32(address));
}

void DfuseSession::eraseSector(uint32_t address) {
    uint8_t command[5] = {kCommandErase};
    putLe32(command + 1, address);
    download(0, command, sizeof command, "erase of sector at " + hex32(address));
}

void DfuseSession::writeBlock(uint16_t blockNumber, uint32_t address, const uint8_t* data,
                              uint16_t length) {
    download(blockNumber, data, length,
             "write of " + std::to_string(length) + " bytes at " + hex32(address));
}

void DfuseSession::readBlock(uint16_t blockNumber, uint32_t address, uint8_t* data,
                             uint16_t length) {
    const std::string what = "read of " + std::to_string(length) + " bytes at " + hex32(address);
    const uint16_t received = request(what, [&] { return dfu_.upload(blockNumber, data, length); });
    if (received != length) {
        fail(kDfuErrorVerifyMismatch,
             what + ": the device sent only " + std::to_string(received) + " bytes");
    }
}

void DfuseSession::leave(uint32_t address) {
    setAddressPointer(address);
    const std::string what = "leaving DFU mode to start the firmware at " + hex32(address);
    request(what, [&] { dfu_.dnload(/*blockNumber=*/0, nullptr, /*length=*/0); });
    // This status request starts the manifestation; the device may be gone before it answers.
    DfuStatus status{};
    try {
        status = dfu_.getStatus();
    } catch (const DfuError& error) {
        if (error.code() == kDfuErrorDeviceGone || error.code() == kDfuErrorUsbTransfer) {
            return;
        }
        throw DfuError(error.code(), what + ": " + error.what());
    }
    switch (status.bState) {
        case kDfuStateManifestSync:
        case kDfuStateManifest:
        case kDfuStateManifestWaitReset:
            return;
        case kDfuStateError:
            failWithStatus(what, status);
        default:
            fail(kDfuErrorUnexpectedState,
                 what + ": device reports " + statusText(status) + " instead of manifesting");
    }
}

void DfuseSession::download(uint16_t blockNumber, const uint8_t* data, uint16_t length,
                            const std::string& what) {
    request(what, [&] { dfu_.dnload(blockNumber, data, length); });
    pollUntilDone(what);
}

template <typename Request>
auto DfuseSession::request(const std::string& what, Request&& send) -> decltype(send()) {
    try {
        return send();
    } catch (const DfuError& error) {
        if (error.code() == kDfuErrorRequestStalled) {
            failStalled(what, error.what());
        }
        throw DfuError(error.code(), what + ": " + error.what());
    }
}

void DfuseSession::pollUntilDone(const std::string& what) {
    const uint64_t deadline = platform::monotonicMs() + kBusyLimitMs;
    for (;;) {
        const DfuStatus status = withContext(what, [&] { return dfu_.getStatus(); });
        const uint32_t waitMs = dfuPollTimeoutMs(status);
        if (status.bState == kDfuStateError) {
            failWithStatus(what, status);
        }
        if (status.bState != kDfuStateDnBusy && status.bState != kDfuStateDnloadSync) {
            platform::sleepMs(waitMs);
            if (status.bState != kDfuStateDnloadIdle) {
                fail(kDfuErrorUnexpectedState, what + ": device reports " + statusText(status) +
                                                   " where dfuDNLOAD-IDLE was expected");
            }
            return;
        }
        if (platform::monotonicMs() > deadline) {
            fail(kDfuErrorTimeout,
                 what + ": device still busy after " + std::to_string(kBusyLimitMs / 1000) + " s");
        }
        // A busy device with no poll time would otherwise be asked again at once, forever.
        platform::sleepMs(std::max<uint32_t>(waitMs, 1));
    }
}

void DfuseSession::failStalled(const std::string& what, const std::string& stall) {
    const DfuStatus status = withContext(what, [&] { return dfu_.getStatus(); });
    if (status.bState == kDfuStateError && status.bStatus != kDfuStatusOk) {
        failWithStatus(what, status);
    }
    fail(kDfuErrorRequestStalled, what + ": " + stall);
}

void MemoryReader::read(uint32_t address, uint8_t* data, uint16_t length) {
    const bool behindPointer = pointer_ && address >= *pointer_ &&
                               (address - *pointer_) % transferSize_ == 0 &&
                               (address - *pointer_) / transferSize_ < kBlocksPerPointer;
    if (!behindPointer || length < transferSize_) {
        // The address command is taken in dfuIDLE, not in dfuUPLOAD-IDLE.
        if (uploading_) {
            session_.abortToIdle();
        }
        session_.setAddressPointer(address);
        session_.abortToIdle();
        pointer_ = address;
    }
    const uint32_t number = kFirstDataBlock + (address - *pointer_) / transferSize_;
    session_.readBlock(uint16_t(number), address, data, length);
    uploading_ = true;
}

void MemoryReader::finish() {
    if (uploading_) {
        session_.abortToIdle();
        uploading_ = false;
    }
}

}  // namespace dfuse
