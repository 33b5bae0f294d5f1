#include "platform/Platform.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

void sleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint64_t monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::thread startWorker(std::function<void()> fn) {
    return std::thread(std::move(fn));
}

void joinWorker(std::thread& worker) {
    if (worker.joinable()) {
        worker.join();
    }
}

struct Signal::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool set = false;
};

Signal::Signal() : state_(std::make_unique<State>()) {}

Signal::~Signal() = default;

void Signal::set() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->set = true;
    }
    state_->changed.notify_all();
}

bool Signal::waitMs(uint32_t ms) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                    [this] { return state_->set; });
}

}  // namespace platform
