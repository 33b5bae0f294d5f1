#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

// Every wait the tool makes (connection retries, the boot-loader wait, DFU polls, device busy
// times) and every thread it starts go through these functions. The product implements them
// with the standard library; a build linked to the virtual USB bus implements them on the bus's
// virtual clock, so that simulated runs take no real time and do not depend on machine load.
namespace platform {

// Blocks the calling thread for the given number of milliseconds.
void sleepMs(uint32_t ms);

// Milliseconds on a monotonic clock.
uint64_t monotonicMs();

// Runs fn on a new thread. The virtual clock counts the new thread as busy from this call on.
std::thread startWorker(std::function<void()> fn);

// Waits for a thread made by startWorker to end; on the virtual clock the waiting thread counts
// as idle meanwhile, so that time may pass for the worker.
void joinWorker(std::thread& worker);

// A one-way signal from one thread to another: a worker sets it once when its work is done, and
// another thread waits for that with a time-out. On the virtual clock the waiting thread counts
// as idle until the time-out or the signal, so that time may pass for the worker meanwhile.
class Signal {
  public:
    Signal();
    ~Signal();
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    // Sets the signal and wakes the thread waiting for it; it stays set.
    void set();
    // Waits until the signal is set or `ms` milliseconds have passed (0: does not wait);
    // returns whether it is set.
    bool waitMs(uint32_t ms);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
