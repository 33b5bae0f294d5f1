#include "dfu/RunDfuOperation.h"

#include <QDebug>

#include "DfuFailure.h"
#include "dfuse/StdfuPrt.h"
#include "platform/Interrupt.h"
#include "platform/Platform.h"

namespace {

constexpr uint32_t kPollIntervalMs = 100;
// The longest a device works without a progress step is a mass erase (16 s at most); a
// device that shows no progress for this long is taken as hung.
constexpr uint32_t kStallLimitMs = 60000;

uint32_t operationHandle = 0;

unsigned long code(uint32_t value) {
    return static_cast<unsigned long>(value);
}

bool queryStatus(DfuOperationContext& context) {
    const uint32_t result = STDFUPRT_GetOperationStatus(operationHandle, &context);
    if (result != kDfuSuccess) {
        qWarning("Error status during DFU operation %x: %lx", context.operation, code(result));
        logDfuCause(result);
        return false;
    }
    if (context.errorCode != kDfuSuccess) {
        qCritical("Error during DFU operation %x: %lx", context.operation, code(context.errorCode));
        logDfuCause(context.errorCode);
        return false;
    }
    return true;
}

// A failed erase or upgrade is stopped all the same, so that no worker is left running. The
// stop writes into a copy: the context keeps the error that was reported.
bool abandon(DfuOperationContext& context) {
    DfuOperationContext scratch = context;
    STDFUPRT_StopOperation(operationHandle, &scratch);
    return false;
}

// The poll interval's wait, cut short when the operation ends so that its end is seen at once.
bool waitForNextPoll(const DfuOperationContext& context) {
    const uint32_t result = STDFUPRT_WaitForOperation(operationHandle, kPollIntervalMs);
    if (result != kDfuSuccess) {
        qWarning("Error status during DFU operation %x: %lx", context.operation, code(result));
        logDfuCause(result);
        return false;
    }
    return true;
}

bool pollUntilComplete(DfuOperationContext& context) {
    int lastLogged = -1;
    uint32_t unchangedMs = 0;
    while (true) {
        if (!queryStatus(context)) {
            return abandon(context);
        }
        if (platform::interruptRequested) {
            // The stop takes effect between two blocks; a block under way is finished first.
            qCritical("DFU operation %x interrupted: stopping it after the current block",
                      context.operation);
            return abandon(context);
        }
        const int percent = context.percent;
        if (percent == lastLogged) {
            if (!waitForNextPoll(context)) {
                return abandon(context);
            }
            unchangedMs += kPollIntervalMs;
            if (unchangedMs >= kStallLimitMs) {
                qCritical("DFU operation %x made no progress for %u seconds, stopping it",
                          context.operation, kStallLimitMs / 1000);
                return abandon(context);
            }
            continue;
        }
        qInfo("%i %%", percent);
        lastLogged = percent;
        unchangedMs = 0;
        if (percent > 99) {
            if (dfuFailed(STDFUPRT_StopOperation(operationHandle, &context),
                          "failed to stop operation!")) {
                return false;
            }
            // The final check (reading the memory back) may fail after the last progress step.
            if (context.errorCode != kDfuSuccess) {
                qCritical("Error during DFU operation %x: %lx", context.operation,
                          code(context.errorCode));
                logDfuCause(context.errorCode);
                return false;
            }
            return true;
        }
        if (!waitForNextPoll(context)) {
            return abandon(context);
        }
    }
}

}  // namespace

bool runDfuOperation(DfuOperationContext& context) {
    const uint32_t result = STDFUPRT_LaunchOperation(&context, &operationHandle);
    if (result != kDfuSuccess) {
        qWarning("Launching operation %x failed: %lx", context.operation, code(result));
        logDfuCause(result);
        return false;
    }
    if (context.operation != kDfuOperationLeave) {
        return pollUntilComplete(context);
    }
    // Leaving DFU mode has run to its end by now: one query gives its result.
    if (!queryStatus(context)) {
        return false;
    }
    qDebug("Return to normal operation complete!");
    platform::sleepMs(kPollIntervalMs);
    return true;
}
