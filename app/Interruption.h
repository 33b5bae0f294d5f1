#pragma once

namespace unitflash {

// While a guard lives, SIGINT, SIGTERM and SIGHUP ask the running update to stop at its next
// safe point (platform::interruptRequested) instead of ending the process half-way; a second
// one ends the process at once. A signal the process was started with ignored (as under nohup)
// stays ignored.
class InterruptGuard {
  public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// True once an interrupt has been asked for.
bool interrupted();

// Writing to a standard output whose reader has gone (a pipe into `head`) must not end the
// process: SIGPIPE is ignored and the failed write is dropped.
void ignoreBrokenPipes();

}  // namespace unitflash
