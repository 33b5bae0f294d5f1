#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

namespace sim {

// The process-wide virtual clock of the simulation, in microseconds.
//
// Threads are actors: the main thread is one, every thread made by platform::startWorker is one
// while its function runs. Time stands still while any actor is running and advances to the
// earliest wake-up (of a sleeper or of a scheduled event) only when every actor sleeps on this
// clock or waits in platform::joinWorker. So virtual durations do not depend on machine load.
//
// The whole simulation (clock, bus, devices) is guarded by one lock that a sleeping thread gives
// up; every libusb entry point takes it.
//
// The drop-in library serves programs without the platform seam (UNITFLASH_SIM_FOREIGN_PROGRAM):
// there virtual time follows the real clock (one virtual second per UNITFLASH_SIM_PACE real
// seconds, 1 by default), so the program's own sleeps count, and device busy time is waited
// for in real time. It is reentrant per thread, so a device handler may sleep
// (spend busy time) while called from a transfer.
class VirtualClock {
  public:
    // Holds the simulation lock for its lifetime (no-op when this thread holds it already).
    class Lock {
      public:
        Lock();
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        bool owner_ = false;
    };

    static uint64_t nowUs();
    // Durations as the program on the bus sees them (its time-outs, the poll times devices
    // report to it): the same in a program with the platform seam; for a foreign program on
    // the drop-in library, which lives in real time, scaled by UNITFLASH_SIM_PACE.
    static uint64_t fromProgramUs(uint64_t us);
    static uint64_t toProgramUs(uint64_t us);
    // Sleeps the calling thread for `us` microseconds of virtual time.
    static void sleepUs(uint64_t us);
    // Sleeps like sleepUs, but wakes as soon as setFlag sets `flag`; returns the flag. For the
    // platform seam's signal: the sleeper counts as idle meanwhile.
    static bool sleepUntilSet(uint64_t us, const bool& flag);
    // Sets `flag` under the simulation lock and wakes whoever sleeps on it.
    static void setFlag(bool& flag);
    // Runs `fn` (under the simulation lock) when the clock reaches now + delayUs. Events must not
    // sleep.
    static void schedule(uint64_t delayUs, std::function<void()> fn);
    // Lets the next `horizonUs` of virtual time pass for the devices alone: runs the events due
    // in it in time order. For the moment a process ends, when nobody waits on the clock.
    static void settle(uint64_t horizonUs);
    // The virtual time now, without running events, for the moment a process ends: for a
    // foreign program the real time that passed at its pace.
    static uint64_t peekUs();
    // Real microseconds per virtual microsecond (0: no real waiting).
    static double pace();
    // For a foreign program whose sleeps come to this clock (libunitflash-sim-sleep.so, preloaded
    // by scripts/bench.sh): it then lives in virtual time as a program with the platform seam
    // does, so its simulated time leaves out its own CPU time and the machine's load.
    static void takeOverProgramSleeps();
    // Back to time 0 without pending events; the actors stay as they are.
    static void reset();

    // Actor bookkeeping behind platform::startWorker / joinWorker.
    static void actorStarted();
    static void actorEnded();
    static void idleBegin();
    static void idleEnd();
};

}  // namespace sim
