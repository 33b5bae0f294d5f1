#include "dfuse/StdfuPrt.h"

#include <cstring>

#include "DfuInterface.h"
#include "DfuMemoryMapping.h"
#include "DfuOperation.h"
#include "Handles.h"

using namespace dfuse;

namespace {

// Writes an operation's outcome into the context; its detail becomes this thread's.
void report(const DfuOperation::Outcome& outcome, DfuOperationContext* context) {
    context->percent = outcome.percent;
    context->errorCode = outcome.error;
    setLastErrorDetail(outcome.detail);
}

}  // namespace

uint32_t STDFUPRT_CreateMappingFromDevice(const char* path, DfuMapping* mapping,
                                          uint32_t* alternates) {
    return guarded([&] {
        require(path && mapping && alternates);
        withContext(std::string("mapping ") + path, [&] {
            std::unique_ptr<DfuInterface> device = DfuInterface::open(path);
            auto created = std::make_unique<DfuMemoryMapping>();
            for (const std::string& name : device->alternateNames()) {
                created->alternates.push_back(
                    memoryLayoutOf(name, uint32_t(created->alternates.size())));
            }
            *alternates = uint32_t(created->alternates.size());
            *mapping = created.release();
        });
    });
}

uint32_t STDFUPRT_DestroyMapping(DfuMapping* mapping) {
    return guarded([&] {
        require(mapping && *mapping);
        delete *mapping;
        *mapping = nullptr;
    });
}

uint32_t STDFUPRT_LaunchOperation(DfuOperationContext* context, uint32_t* operation) {
    return guarded([&] {
        require(context && operation);
        const DfuGuid guid = context->guid;
        if (!(guid == kDfuInterfaceGuid)) {
            fail(kDfuErrorBadContext, "the context does not carry the DFU interface class");
        }
        if (!std::memchr(context->devicePath, '\0', sizeof context->devicePath)) {
            fail(kDfuErrorBadContext, "the context's device path is not NUL-terminated");
        }
        const uint32_t code = context->operation;
        if (code != kDfuOperationErase && code != kDfuOperationUpgrade &&
            code != kDfuOperationLeave) {
            fail(kDfuErrorBadOperation, "unknown operation " + std::to_string(code));
        }
        std::shared_ptr<DfuImage> image = lookUp(imageHandles(), context->image, "image");

        auto running =
            std::make_shared<DfuOperation>(code, std::string(context->devicePath), *image);
        context->percent = 0;
        context->errorCode = kDfuSuccess;
        if (code == kDfuOperationLeave) {
            running->runHere();
        } else {
            running->startWorker();
        }
        *operation = operationHandles().add(std::move(running));
    });
}

uint32_t STDFUPRT_GetOperationStatus(uint32_t operation, DfuOperationContext* context) {
    return guarded([&] {
        require(context);
        report(lookUp(operationHandles(), operation, "operation")->status(), context);
    });
}

uint32_t STDFUPRT_WaitForOperation(uint32_t operation, uint32_t ms) {
    return guarded([&] {
        // The operation is held while waiting, so a stop from another thread cannot free it.
        std::shared_ptr<DfuOperation> running = lookUp(operationHandles(), operation, "operation");
        running->waitForEnd(ms);
    });
}

uint32_t STDFUPRT_StopOperation(uint32_t operation, DfuOperationContext* context) {
    uint32_t error = kDfuSuccess;
    const uint32_t code = guarded([&] {
        require(context);
        std::shared_ptr<DfuOperation> running = operationHandles().take(operation);
        if (!running) {
            fail(kDfuErrorBadHandle, "no running operation has handle " + hex32(operation));
        }
        const DfuOperation::Outcome outcome = running->stop();
        report(outcome, context);
        error = outcome.error;
    });
    // Stopping succeeded when the operation ended well or ended because it was asked to; an
    // operation that failed on its own keeps reporting its failure (and its detail).
    if (code != kDfuSuccess || error == kDfuErrorOperationStopped) {
        return code;
    }
    return error;
}
