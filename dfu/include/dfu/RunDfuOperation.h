#pragma once

#include "dfuse/DfuOperationContext.h"

// Runs the DFU operation that the filled context describes to its end, logging progress and
// failures; true when it ended successfully.
bool runDfuOperation(DfuOperationContext& context);
