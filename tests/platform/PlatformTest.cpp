#include <gtest/gtest.h>

#include <atomic>

#include "platform/Platform.h"

namespace {

// Only lower bounds on real time hold on a loaded machine; an upper bound is given only where
// a fault would cost the whole wait, and then with room to spare.
constexpr uint32_t kLongWaitMs = 20000;

TEST(Platform, SleepLastsAtLeastItsTimeOnTheMonotonicClock) {
    const uint64_t start = platform::monotonicMs();
    platform::sleepMs(30);
    EXPECT_GE(platform::monotonicMs() - start, 30u);
}

TEST(Platform, SignalWakesItsWaiterAndStaysSet) {
    platform::Signal signal;
    EXPECT_FALSE(signal.waitMs(0));
    uint64_t start = platform::monotonicMs();
    EXPECT_FALSE(signal.waitMs(30));
    EXPECT_GE(platform::monotonicMs() - start, 30u);

    // The worker sets the signal only after the main thread waits for it; what the worker did
    // before is seen once the wait returns.
    std::atomic<bool> waiting{false};
    int done = 0;
    std::thread worker = platform::startWorker([&] {
        while (!waiting) {
            platform::sleepMs(1);
        }
        platform::sleepMs(20);
        done = 1;
        signal.set();
    });
    start = platform::monotonicMs();
    waiting = true;
    EXPECT_TRUE(signal.waitMs(kLongWaitMs));
    EXPECT_LT(platform::monotonicMs() - start, kLongWaitMs / 2);
    EXPECT_EQ(done, 1);
    platform::joinWorker(worker);
    EXPECT_FALSE(worker.joinable());
    platform::joinWorker(worker);  // a second join is harmless

    EXPECT_TRUE(signal.waitMs(0));
    EXPECT_TRUE(signal.waitMs(kLongWaitMs));
}

}  // namespace
