#include "dfuse/StdfuPrt.h"

#include <cstring>

#include "DfuInterface.h"
#include "DfuMemoryMapping.h"
#include "DfuOperation.h"
#include "Handles.h"

using namespace dfuse;

uint32_t STDFUPRT_CreateMappingFromDevice(const char* path, DfuMapping* mapping,
                                          uint32_t* alternates) {
    if (!path || !mapping || !alternates)
        return kDfuErrorInvalidArgument;
    std::unique_ptr<DfuInterface> device;
    uint32_t code = DfuInterface::open(path, &device);
    if (code != kDfuSuccess)
        return code;
    std::vector<std::string> names;
    code = device->alternateNames(&names);
    if (code != kDfuSuccess)
        return code;
    auto created = std::make_unique<DfuMemoryMapping>();
    for (const std::string& name : names) {
        MemoryLayout layout;
        code = parseMemoryLayout(name, &layout);
        if (code != kDfuSuccess)
            return code;
        created->alternates.push_back(std::move(layout));
    }
    *alternates = uint32_t(created->alternates.size());
    *mapping = created.release();
    return kDfuSuccess;
}

uint32_t STDFUPRT_DestroyMapping(DfuMapping* mapping) {
    if (!mapping || !*mapping)
        return kDfuErrorInvalidArgument;
    delete *mapping;
    *mapping = nullptr;
    return kDfuSuccess;
}

uint32_t STDFUPRT_LaunchOperation(DfuOperationContext* context, uint32_t* operation) {
    if (!context || !operation)
        return kDfuErrorInvalidArgument;
    const DfuGuid guid = context->guid;
    if (!(guid == kDfuInterfaceGuid) ||
        !std::memchr(context->devicePath, '\0', sizeof context->devicePath))
        return kDfuErrorBadContext;
    const uint32_t code = context->operation;
    if (code != kDfuOperationErase && code != kDfuOperationUpgrade && code != kDfuOperationLeave)
        return kDfuErrorBadOperation;
    std::shared_ptr<DfuImage> image = imageHandles().get(context->image);
    if (!image)
        return kDfuErrorBadHandle;

    auto running = std::make_shared<DfuOperation>(code, std::string(context->devicePath), *image);
    context->percent = 0;
    context->errorCode = kDfuSuccess;
    if (code == kDfuOperationLeave)
        running->runHere();
    else
        running->startWorker();
    *operation = operationHandles().add(std::move(running));
    return kDfuSuccess;
}

uint32_t STDFUPRT_GetOperationStatus(uint32_t operation, DfuOperationContext* context) {
    if (!context)
        return kDfuErrorInvalidArgument;
    std::shared_ptr<DfuOperation> running = operationHandles().get(operation);
    if (!running)
        return kDfuErrorBadHandle;
    uint8_t percent = 0;
    uint32_t error = kDfuSuccess;
    running->status(&percent, &error);
    context->percent = percent;
    context->errorCode = error;
    return kDfuSuccess;
}

uint32_t STDFUPRT_StopOperation(uint32_t operation, DfuOperationContext* context) {
    if (!context)
        return kDfuErrorInvalidArgument;
    std::shared_ptr<DfuOperation> running = operationHandles().take(operation);
    if (!running)
        return kDfuErrorBadHandle;
    uint8_t percent = 0;
    uint32_t error = kDfuSuccess;
    running->stop(&percent, &error);
    context->percent = percent;
    context->errorCode = error;
    // Stopping succeeded when the operation ended well or ended because it was asked to; an
    // operation that failed on its own keeps reporting its failure.
    return error == kDfuErrorOperationStopped ? kDfuSuccess : error;
}
