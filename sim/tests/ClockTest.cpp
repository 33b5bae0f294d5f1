#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/Platform.h"
#include "sim/Bus.h"
#include "sim/VirtualClock.h"

namespace {

class ClockTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::Bus::instance().reset(); }
};

TEST_F(ClockTest, ASleepOfTheOnlyThreadAdvancesTimeAtOnce) {
    platform::sleepMs(250);
    EXPECT_EQ(platform::monotonicMs(), 250u);
    platform::sleepMs(0);
    EXPECT_EQ(sim::VirtualClock::nowUs(), 250000u);
}

TEST_F(ClockTest, EventsRunInTimeOrderWhenTimePassesThem) {
    std::vector<int> order;
    sim::VirtualClock::schedule(3000, [&] { order.push_back(3); });
    sim::VirtualClock::schedule(1000, [&] { order.push_back(1); });
    sim::VirtualClock::schedule(1000, [&] { order.push_back(2); });
    platform::sleepMs(2);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    platform::sleepMs(2);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// A worker busy on the bus while the main thread polls: the virtual durations must not depend
// on how the threads are scheduled.
uint64_t pollUntilWorkerDone() {
    sim::Bus::instance().reset();
    std::atomic<bool> done{false};
    std::atomic<uint64_t> workerEnd{0};
    std::thread worker = platform::startWorker([&] {
        for (int i = 0; i < 70; ++i) {
            platform::sleepMs(5);
        }
        workerEnd = platform::monotonicMs();
        done = true;
    });
    int polls = 0;
    while (!done) {
        platform::sleepMs(100);
        ++polls;
    }
    platform::joinWorker(worker);
    EXPECT_EQ(workerEnd.load(), 350u);
    EXPECT_EQ(polls, 4);
    return platform::monotonicMs();
}

TEST_F(ClockTest, AWorkerAndAPollingThreadSeeTheSameTimesEveryRun) {
    for (int run = 0; run < 20; ++run) {
        EXPECT_EQ(pollUntilWorkerDone(), 400u);
    }
}

TEST_F(ClockTest, JoiningLetsTheWorkerTimePass) {
    std::thread worker = platform::startWorker([] { platform::sleepMs(1000); });
    platform::joinWorker(worker);
    EXPECT_EQ(platform::monotonicMs(), 1000u);
}

}  // namespace
