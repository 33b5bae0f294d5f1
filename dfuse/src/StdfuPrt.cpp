#include "dfuse/StdfuPrt.h"

#include <algorithm>
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
            auto created = std::make_shared<DfuMemoryMapping>();
            for (const std::string& name : device->alternateNames()) {
                created->alternates.push_back(
                    memoryLayoutOf(name, uint32_t(created->alternates.size())));
            }
            *alternates = uint32_t(created->alternates.size());
            *mapping = mappingHandles().add(std::move(created));
        });
    });
}

uint32_t STDFUPRT_DestroyMapping(DfuMapping* mapping) {
    return guarded([&] { release(mappingHandles(), mapping, "mapping"); });
}

uint32_t STDFUPRT_GetMemoryName(DfuMapping mapping, uint32_t alternate, char* name, uint32_t size) {
    return guarded([&] {
        require(name && size > 0);
        const std::shared_ptr<DfuMemoryMapping> map = lookUp(mappingHandles(), mapping, "mapping");
        const std::string& text = map->layout(alternate).name;
        const size_t length = std::min<size_t>(text.size(), size - 1);
        std::copy_n(text.data(), length, name);
        name[length] = '\0';
    });
}

uint32_t STDFUPRT_CheckWritable(DfuMapping mapping, uint32_t alternate, uint32_t address,
                                uint32_t size, uint32_t* outside) {
    return guarded([&] {
        require(outside);
        const std::shared_ptr<DfuMemoryMapping> map = lookUp(mappingHandles(), mapping, "mapping");
        const MemoryLayout& layout = map->layout(alternate);
        const std::optional<uint32_t> first =
            firstAddressWithout(layout, address, size, kSectorWritable);
        if (first) {
            *outside = *first;
            fail(kDfuErrorImageOutsideMemory,
                 hex32(address) + " (" + std::to_string(size) + " bytes) reaches " + hex32(*first) +
                     ", outside the writable sectors of \"" + layout.name + "\"");
        }
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
            code != kDfuOperationLeave && code != kDfuOperationCompare) {
            fail(kDfuErrorBadOperation, "unknown operation " + std::to_string(code));
        }
        std::shared_ptr<DfuImage> image = lookUp(imageHandles(), context->image, "image");

        // A compare fits the image itself when it is stopped.
        auto running =
            std::make_shared<DfuOperation>(code, std::string(context->devicePath), *image,
                                           code == kDfuOperationCompare ? image : nullptr);
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
        const std::shared_ptr<DfuOperation> running =
            lookUp(operationHandles(), operation, "operation");
        report(running->status(), context);
        if (running->isLeave()) {
            operationHandles().take(operation);
        }
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
