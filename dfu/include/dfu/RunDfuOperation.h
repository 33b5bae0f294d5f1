#pragma once

#include <cstdint>
#include <initializer_list>

#include "dfuse/DfuOperationContext.h"

namespace dfu {

// Runs the DFU operation that the filled context describes to its end, logging progress and
// failures; true when it ended successfully. An error code in `quiet` is left to the caller to
// report, from the context's error code and the library's last error detail.
bool runDfuOperation(DfuOperationContext& context, std::initializer_list<uint32_t> quiet = {});

}  // namespace dfu
