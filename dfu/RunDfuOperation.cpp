#include "dfu/RunDfuOperation.h"

#include <QDebug>

#include <algorithm>

#include "DfuFailure.h"
#include "dfuse/StdfuPrt.h"
#include "platform/Interrupt.h"
#include "platform/Platform.h"

namespace dfu {

namespace {

constexpr uint32_t kPollIntervalMs = 100;
// The longest a device works without a progress step is a mass erase (16 s at most); a
// device that shows no progress for this long is taken as hung.
constexpr uint32_t kStallLimitMs = 60000;

unsigned long code(uint32_t value) {
    return static_cast<unsigned long>(value);
}

// An error code the caller reports itself: the runner says nothing of it.
bool reportedByCaller(uint32_t code, std::initializer_list<uint32_t> codes) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

bool queryStatus(uint32_t operation, DfuOperationContext& context,
                 std::initializer_list<uint32_t> quiet = {}) {
    const uint32_t result = STDFUPRT_GetOperationStatus(operation, &context);
    if (result != kDfuSuccess) {
        qWarning("Error status during DFU operation %x: %lx", context.operation, code(result));
        logDfuCause(result);
        return false;
    }
    if (context.errorCode != kDfuSuccess) {
        if (!reportedByCaller(context.errorCode, quiet)) {
            qCritical("Error during DFU operation %x: %lx", context.operation,
                      code(context.errorCode));
            logDfuCause(context.errorCode);
        }
        return false;
    }
    return true;
}

// A failed erase or upgrade is stopped all the same, so that no worker is left running. The
// stop writes into a copy: the context keeps the error that was reported.
bool abandon(uint32_t operation, DfuOperationContext& context) {
    DfuOperationContext scratch = context;
    STDFUPRT_StopOperation(operation, &scratch);
    return false;
}

// The poll interval's wait, cut short when the operation ends so that its end is seen at once.
bool waitForNextPoll(uint32_t operation, const DfuOperationContext& context) {
    const uint32_t result = STDFUPRT_WaitForOperation(operation, kPollIntervalMs);
    if (result != kDfuSuccess) {
        qWarning("Error status during DFU operation %x: %lx", context.operation, code(result));
        logDfuCause(result);
        return false;
    }
    return true;
}

bool pollUntilComplete(uint32_t operation, DfuOperationContext& context,
                       std::initializer_list<uint32_t> quiet) {
    int lastLogged = -1;
    uint32_t unchangedMs = 0;
    while (true) {
        if (!queryStatus(operation, context, quiet)) {
            return abandon(operation, context);
        }
        if (platform::interruptRequested) {
            // The stop takes effect between two blocks; a block under way is finished first.
            qCritical("DFU operation %x interrupted: stopping it after the current block",
                      context.operation);
            return abandon(operation, context);
        }
        const int percent = context.percent;
        if (percent == lastLogged) {
            if (!waitForNextPoll(operation, context)) {
                return abandon(operation, context);
            }
            unchangedMs += kPollIntervalMs;
            if (unchangedMs >= kStallLimitMs) {
                qCritical("DFU operation %x made no progress for %u seconds, stopping it",
                          context.operation, kStallLimitMs / 1000);
                return abandon(operation, context);
            }
            continue;
        }
        qInfo("%i %%", percent);
        lastLogged = percent;
        unchangedMs = 0;
        if (percent > 99) {
            // Only an operation that ended well shows 100 %: stopping it just frees its handle.
            return !dfuFailed(STDFUPRT_StopOperation(operation, &context),
                              "failed to stop operation!");
        }
        if (!waitForNextPoll(operation, context)) {
            return abandon(operation, context);
        }
    }
}

}  // namespace

bool runDfuOperation(DfuOperationContext& context, std::initializer_list<uint32_t> quiet) {
    uint32_t operation = 0;
    const uint32_t result = STDFUPRT_LaunchOperation(&context, &operation);
    if (result != kDfuSuccess) {
        qWarning("Launching operation %x failed: %lx", context.operation, code(result));
        logDfuCause(result);
        return false;
    }
    if (context.operation != kDfuOperationLeave) {
        return pollUntilComplete(operation, context, quiet);
    }
    // Leaving DFU mode has run to its end by now: one query gives its result and frees the
    // operation's handle.
    if (!queryStatus(operation, context)) {
        return false;
    }
    qDebug("Return to normal operation complete!");
    platform::sleepMs(kPollIntervalMs);
    return true;
}

}  // namespace dfu
