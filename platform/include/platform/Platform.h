#pragma once

#include <cstdint>
#include <functional>
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

}  // namespace platform
