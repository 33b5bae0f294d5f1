#pragma once

#include <cstdint>

namespace dfu {

// Logs at critical level why the dfuse call that returned `code` failed: the code's name and
// what dfuse found, with the context of each of its layers in front, e.g. "erase failed on the
// device: erasing USB-BUS1-PORT1.4-IF0: erase of sector at 0x08004000 failed: device reports
// dfuERROR / errERASE". For a read-protected chip, also what the user can do about it.
void logDfuCause(uint32_t code);

// True when `code` is a failure, after logging `message` at critical level and then its cause.
bool dfuFailed(uint32_t code, const char* message);

}  // namespace dfu
