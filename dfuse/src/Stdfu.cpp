#include "dfuse/Stdfu.h"

#include "DfuInterface.h"
#include "DfuseSession.h"
#include "Handles.h"

using namespace dfuse;

namespace {

uint32_t withDevice(const uint32_t* handle, std::shared_ptr<DfuInterface>* device) {
    if (!handle)
        return kDfuErrorInvalidArgument;
    *device = deviceHandles().get(*handle);
    return *device ? kDfuSuccess : kDfuErrorBadHandle;
}

}  // namespace

uint32_t STDFU_Open(const char* path, uint32_t* handle) {
    if (!path || !handle)
        return kDfuErrorInvalidArgument;
    std::unique_ptr<DfuInterface> opened;
    const uint32_t code = DfuInterface::open(path, &opened);
    if (code != kDfuSuccess)
        return code;
    *handle = deviceHandles().add(std::shared_ptr<DfuInterface>(std::move(opened)));
    return kDfuSuccess;
}

uint32_t STDFU_SelectCurrentConfiguration(uint32_t* handle, uint32_t configuration,
                                          uint32_t interfaceIndex, uint32_t alternate) {
    std::shared_ptr<DfuInterface> device;
    const uint32_t code = withDevice(handle, &device);
    if (code != kDfuSuccess)
        return code;
    // A handle stands for one DFU interface, the one its path names.
    if (interfaceIndex != 0 && interfaceIndex != device->interfaceNumber())
        return kDfuErrorInvalidArgument;
    return device->select(configuration, alternate);
}

uint32_t STDFU_Getstatus(uint32_t* handle, DfuStatus* status) {
    if (!status)
        return kDfuErrorInvalidArgument;
    std::shared_ptr<DfuInterface> device;
    const uint32_t code = withDevice(handle, &device);
    if (code != kDfuSuccess)
        return code;
    return device->getStatus(status);
}

uint32_t STDFU_Clrstatus(uint32_t* handle) {
    std::shared_ptr<DfuInterface> device;
    const uint32_t code = withDevice(handle, &device);
    if (code != kDfuSuccess)
        return code;
    return device->clrStatus();
}

uint32_t STDFU_Abort(uint32_t* handle) {
    std::shared_ptr<DfuInterface> device;
    const uint32_t code = withDevice(handle, &device);
    if (code != kDfuSuccess)
        return code;
    return device->abort();
}

uint32_t STDFU_Close(uint32_t* handle) {
    if (!handle)
        return kDfuErrorInvalidArgument;
    if (!deviceHandles().take(*handle))
        return kDfuErrorBadHandle;
    *handle = 0;
    return kDfuSuccess;
}
