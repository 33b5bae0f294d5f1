#include "DfuseSession.h"

#include <algorithm>

#include "dfuse/DfuReturnCodes.h"
#include "platform/Platform.h"

namespace dfuse {
namespace {

// The longest the device may stay busy with one command: well above a mass erase.
constexpr uint64_t kBusyLimitMs = 60000;
constexpr int kIdleAttempts = 4;

// DfuSe command bytes.
constexpr uint8_t kCommandSetAddress = 0x21;
constexpr uint8_t kCommandErase = 0x41;

void putLe32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = uint8_t(value >> (8 * i));
}

}  // namespace

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

uint32_t DfuseSession::ensureIdle() {
    for (int attempt = 0; attempt < kIdleAttempts; ++attempt) {
        DfuStatus status{};
        uint32_t code = dfu_.getStatus(&status);
        if (code != kDfuSuccess)
            return code;
        platform::sleepMs(dfuPollTimeoutMs(status));
        switch (status.bState) {
            case kDfuStateIdle:
                return kDfuSuccess;
            case kDfuStateError:
                code = dfu_.clrStatus();
                break;
            case kDfuStateDnloadIdle:
            case kDfuStateUploadIdle:
                code = dfu_.abort();
                break;
            case kDfuStateDnBusy:
            case kDfuStateDnloadSync:
                code = pollUntilDone(&status);
                break;
            default:
                return kDfuErrorUnexpectedState;
        }
        if (code != kDfuSuccess && code != kDfuErrorDeviceErase && code != kDfuErrorDeviceWrite &&
            code != kDfuErrorDeviceStatus)
            return code;
    }
    return kDfuErrorUnexpectedState;
}

uint32_t DfuseSession::setAddressPointer(uint32_t address) {
    uint8_t command[5] = {kCommandSetAddress};
    putLe32(command + 1, address);
    return download(0, command, sizeof command);
}

uint32_t DfuseSession::eraseSector(uint32_t address) {
    uint8_t command[5] = {kCommandErase};
    putLe32(command + 1, address);
    return download(0, command, sizeof command);
}

uint32_t DfuseSession::writeBlock(uint16_t blockNumber, const uint8_t* data, uint16_t length) {
    return download(blockNumber, data, length);
}

uint32_t DfuseSession::readBlock(uint16_t blockNumber, uint8_t* data, uint16_t length) {
    uint16_t received = 0;
    const uint32_t code = dfu_.upload(blockNumber, data, length, &received);
    if (code == kDfuErrorRequestStalled)
        return stallReason();
    if (code != kDfuSuccess)
        return code;
    return received == length ? kDfuSuccess : kDfuErrorVerifyMismatch;
}

uint32_t DfuseSession::leave(uint32_t address) {
    uint32_t code = setAddressPointer(address);
    if (code != kDfuSuccess)
        return code;
    code = dfu_.dnload(/*blockNumber=*/0, nullptr, /*length=*/0);
    if (code == kDfuErrorRequestStalled)
        return stallReason();
    if (code != kDfuSuccess)
        return code;
    // This status request starts the manifestation; the device may be gone before it answers.
    DfuStatus status{};
    code = dfu_.getStatus(&status);
    if (code == kDfuErrorDeviceGone || code == kDfuErrorUsbTransfer)
        return kDfuSuccess;
    if (code != kDfuSuccess)
        return code;
    switch (status.bState) {
        case kDfuStateManifestSync:
        case kDfuStateManifest:
        case kDfuStateManifestWaitReset:
            return kDfuSuccess;
        case kDfuStateError:
            return codeFromDeviceStatus(status.bStatus);
        default:
            return kDfuErrorUnexpectedState;
    }
}

uint32_t DfuseSession::download(uint16_t blockNumber, const uint8_t* data, uint16_t length) {
    const uint32_t code = dfu_.dnload(blockNumber, data, length);
    if (code == kDfuErrorRequestStalled)
        return stallReason();
    if (code != kDfuSuccess)
        return code;
    DfuStatus status{};
    return pollUntilDone(&status);
}

uint32_t DfuseSession::pollUntilDone(DfuStatus* status) {
    const uint64_t deadline = platform::monotonicMs() + kBusyLimitMs;
    for (;;) {
        const uint32_t code = dfu_.getStatus(status);
        if (code != kDfuSuccess)
            return code;
        const uint32_t waitMs = dfuPollTimeoutMs(*status);
        if (status->bState == kDfuStateError) {
            const uint32_t failure = codeFromDeviceStatus(status->bStatus);
            return failure == kDfuSuccess ? kDfuErrorUnexpectedState : failure;
        }
        if (status->bState != kDfuStateDnBusy && status->bState != kDfuStateDnloadSync) {
            platform::sleepMs(waitMs);
            return status->bState == kDfuStateDnloadIdle ? kDfuSuccess : kDfuErrorUnexpectedState;
        }
        if (platform::monotonicMs() > deadline)
            return kDfuErrorTimeout;
        // A busy device with no poll time would otherwise be asked again at once, forever.
        platform::sleepMs(std::max<uint32_t>(waitMs, 1));
    }
}

uint32_t DfuseSession::stallReason() {
    DfuStatus status{};
    const uint32_t code = dfu_.getStatus(&status);
    if (code != kDfuSuccess)
        return code;
    if (status.bState == kDfuStateError && status.bStatus != kDfuStatusOk)
        return codeFromDeviceStatus(status.bStatus);
    return kDfuErrorRequestStalled;
}

}  // namespace dfuse
