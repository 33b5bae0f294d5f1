#include "platform/Platform.h"

#include <chrono>

namespace platform {

void sleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint64_t monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::thread startWorker(std::function<void()> fn) { return std::thread(std::move(fn)); }

void joinWorker(std::thread& worker) {
    if (worker.joinable()) {
        worker.join();
    }
}

}  // namespace platform
