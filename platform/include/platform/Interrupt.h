#pragma once

#include <atomic>

namespace platform {

// Set, from a signal handler, when the user asks a running update to stop. Long waits and the
// DFU operation runner look at it at their safe points; it is never cleared.
inline std::atomic<bool> interruptRequested{false};

static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets this flag");

// While a guard lives, SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and closing
// the console window) ask the running update to stop at its next safe point instead of ending
// the process half-way; a second one ends the process at once. A signal the process was started
// with ignored (as under nohup) stays ignored.
class InterruptGuard {
  public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// Writing to a standard output whose reader has gone (a pipe into `head`) must not end the
// process: the failed write is dropped.
void ignoreBrokenPipes();

}  // namespace platform
