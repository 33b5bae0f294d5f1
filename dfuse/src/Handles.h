#pragma once

#include <string>

#include "DfuError.h"
#include "DfuImage.h"
#include "DfuMemoryMapping.h"
#include "HandleTable.h"

namespace dfuse {

class DfuInterface;
class DfuOperation;

// Each kind of handle has its own range.
inline HandleTable<DfuFileData>& fileHandles() {
    return handleTable<DfuFileData>(0x10000001);
}
inline HandleTable<DfuImage>& imageHandles() {
    return handleTable<DfuImage>(0x20000001);
}
inline HandleTable<DfuInterface>& deviceHandles() {
    return handleTable<DfuInterface>(0x30000001);
}
inline HandleTable<DfuOperation>& operationHandles() {
    return handleTable<DfuOperation>(0x40000001);
}
inline HandleTable<DfuMemoryMapping>& mappingHandles() {
    return handleTable<DfuMemoryMapping>(0x50000001);
}

// The STDFU functions' checks of their arguments, raising the DfuError they return.
inline void require(bool given) {
    if (!given) {
        fail(kDfuErrorInvalidArgument, "a required argument is null");
    }
}

template <typename T>
std::shared_ptr<T> lookUp(HandleTable<T>& table, uint32_t handle, const char* kind) {
    std::shared_ptr<T> found = table.get(handle);
    if (!found) {
        fail(kDfuErrorBadHandle, std::string("no open ") + kind + " has handle " + hex32(handle));
    }
    return found;
}

// Frees the object behind *handle and zeroes it.
template <typename T>
void release(HandleTable<T>& table, uint32_t* handle, const char* kind) {
    require(handle);
    if (!table.take(*handle)) {
        fail(kDfuErrorBadHandle, std::string("no open ") + kind + " has handle " + hex32(*handle));
    }
    *handle = 0;
}

}  // namespace dfuse
