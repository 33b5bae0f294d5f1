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

// Child runs of this process (one per unit of an update of all units) get exactly the stop
// requests this process gets, once each: on Linux a child has a process group of its own, so
// that a terminal's Ctrl-C reaches it only through this process, which passes on every signal
// it catches to the children registered here (also the second one, which ends them at once).
// On Windows console events reach every process of the console by themselves.

// Registers a started child; from now on the signals this process catches go to it too.
// False when no more children can be registered.
bool passInterruptsTo(long long processId);

// Unregisters a child that has ended: its process ID may soon name another process.
void stopPassingInterruptsTo(long long processId);

// While one lives, the stop signals wait: a child started meanwhile is registered before a
// signal can be caught, so that none is missed or passed on twice.
class InterruptsHeld {
  public:
    InterruptsHeld();
    ~InterruptsHeld();
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};

// Called in a child process before it runs the program: a process group of its own, the stop
// signals no longer held.
void detachChildProcess();

// Writing to a standard output whose reader has gone (a pipe into `head`) must not end the
// process: the failed write is dropped.
void ignoreBrokenPipes();

}  // namespace platform
