#pragma once

#include <QString>

#include "dfuse/DfuOperationContext.h"

namespace dfu {

// A zero-filled operation context for the device at `path` (Latin-1, cut to 259 characters).
DfuOperationContext makeDfuContext(const QString& path);

}  // namespace dfu
