#pragma once

#include "DfuImage.h"
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

}  // namespace dfuse
