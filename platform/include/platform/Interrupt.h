#pragma once

#include <atomic>

namespace platform {

// Set, from a signal handler, when the user asks a running update to stop. Long waits and the
// DFU operation runner look at it at their safe points; it is never cleared.
inline std::atomic<bool> interruptRequested{false};

static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets this flag");

}  // namespace platform
