#include "dfuse/Stdfu.h"

#include "DfuInterface.h"
#include "DfuseSession.h"
#include "Handles.h"

using namespace dfuse;

namespace {

std::shared_ptr<DfuInterface> device(const uint32_t* handle) {
    require(handle);
    return lookUp(deviceHandles(), *handle, "device");
}

}  // namespace

uint32_t STDFU_Open(const char* path, uint32_t* handle) {
    return guarded([&] {
        require(path && handle);
        *handle = deviceHandles().add(DfuInterface::open(path));
    });
}

uint32_t STDFU_SelectCurrentConfiguration(uint32_t* handle, uint32_t configuration,
                                          uint32_t interfaceIndex, uint32_t alternate) {
    return guarded([&] {
        std::shared_ptr<DfuInterface> opened = device(handle);
        // A handle stands for one DFU interface, the one its path names.
        if (interfaceIndex != 0 && interfaceIndex != opened->interfaceNumber()) {
            fail(kDfuErrorInvalidArgument, "the handle is for interface " +
                                               std::to_string(opened->interfaceNumber()) +
                                               ", not " + std::to_string(interfaceIndex));
        }
        withContext(opened->pathText(), [&] { opened->select(configuration, alternate); });
    });
}

uint32_t STDFU_Getstatus(uint32_t* handle, DfuStatus* status) {
    return guarded([&] {
        require(status);
        const std::shared_ptr<DfuInterface> opened = device(handle);
        *status = withContext(opened->pathText(), [&] { return opened->getStatus(); });
    });
}

uint32_t STDFU_Clrstatus(uint32_t* handle) {
    return guarded([&] {
        const std::shared_ptr<DfuInterface> opened = device(handle);
        withContext(opened->pathText(), [&] { opened->clrStatus(); });
    });
}

uint32_t STDFU_Abort(uint32_t* handle) {
    return guarded([&] {
        const std::shared_ptr<DfuInterface> opened = device(handle);
        withContext(opened->pathText(), [&] { opened->abort(); });
    });
}

uint32_t STDFU_BringToIdle(uint32_t* handle, DfuStatus* status) {
    return guarded([&] {
        require(status);
        const std::shared_ptr<DfuInterface> opened = device(handle);
        DfuseSession session(*opened);
        *status = withContext(opened->pathText(), [&] { return session.bringToIdle(*status); });
    });
}

uint32_t STDFU_Close(uint32_t* handle) {
    return guarded([&] { release(deviceHandles(), handle, "device"); });
}
