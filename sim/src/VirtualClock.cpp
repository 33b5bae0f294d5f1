#include "sim/VirtualClock.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <list>
#include <memory>
#include <thread>
#include <vector>

#include "DfuTimingRecord.h"
#include "platform/Platform.h"

namespace sim {
namespace {

struct Sleeper {
    uint64_t wakeUs;
    bool woken = false;
    const bool* flag = nullptr;  // wakes early when set (sleepUntilSet)
};

struct Event {
    uint64_t atUs;
    uint64_t sequence;  // keeps events of the same time in the order they were scheduled
    std::function<void()> fn;
};

struct ClockState {
    std::mutex mutex;
    std::condition_variable wakeUp;
    uint64_t nowUs = 0;
    int actors = 1;  // the main thread
    int asleep = 0;  // sleepers not woken yet
    int idle = 0;    // threads waiting in joinWorker
    std::list<Sleeper*> sleepers;
    std::vector<Event> events;
    uint64_t nextSequence = 0;
    // Real microseconds per virtual microsecond; 0 = no real waiting.
    double pace = 0.0;
    // A program without the platform seam (any libusb program on the drop-in library) sleeps
    // in real time: virtual time then follows the real clock, at `pace`.
    bool followsRealTime = false;
    std::chrono::steady_clock::time_point realStart = std::chrono::steady_clock::now();

    ClockState() {
        writeTimingFileAtExit();
        if (const char* text = std::getenv("UNITFLASH_SIM_PACE")) {
            pace = std::max(0.0, std::atof(text));
        }
#ifdef UNITFLASH_SIM_FOREIGN_PROGRAM
        followsRealTime = true;
        if (pace <= 0.0) {
            pace = 1.0;
        }
#endif
    }

    uint64_t realElapsedUs() const {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now() - realStart)
                                         .count());
    }
};

// Never destroyed: devices and worker threads may still use the clock while the process exits.
ClockState& state() {
    static ClockState* s = new ClockState;
    return *s;
}

thread_local std::unique_lock<std::mutex> tlsLock;

void moveTo(ClockState& s, uint64_t targetUs) {
    if (targetUs <= s.nowUs) {
        return;
    }
    if (s.pace > 0.0 && !s.followsRealTime) {
        std::this_thread::sleep_for(
            std::chrono::microseconds(static_cast<uint64_t>((targetUs - s.nowUs) * s.pace)));
    }
    s.nowUs = targetUs;
}

// Runs the earliest event due at or before `limitUs`; false when there is none.
bool runNextEvent(ClockState& s, uint64_t limitUs) {
    auto due =
        std::min_element(s.events.begin(), s.events.end(), [](const Event& a, const Event& b) {
            return a.atUs != b.atUs ? a.atUs < b.atUs : a.sequence < b.sequence;
        });
    if (due == s.events.end() || due->atUs > limitUs) {
        return false;
    }
    moveTo(s, due->atUs);
    std::function<void()> fn = std::move(due->fn);
    s.events.erase(due);
    // An event runs inside some thread's sleep: its failure must not unwind that.
    try {
        fn();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "virtual bus: event failed: %s\n", e.what());
    }
    return true;
}

// Advances time while every actor sleeps or waits, until some sleeper wakes. Events due before
// that wake-up run in time order on the way.
void advanceWhileStuck(ClockState& s) {
    while (s.asleep > 0 && s.asleep + s.idle >= s.actors) {
        uint64_t target = UINT64_MAX;
        for (const Sleeper* sleeper : s.sleepers) {
            if (!sleeper->woken) {
                target = std::min(target, sleeper->wakeUs);
            }
        }
        while (runNextEvent(s, target)) {
        }
        moveTo(s, target);
        for (Sleeper* sleeper : s.sleepers) {
            if (!sleeper->woken && sleeper->wakeUs <= s.nowUs) {
                sleeper->woken = true;
                --s.asleep;
            }
        }
        s.wakeUp.notify_all();
    }
}

// Brings virtual time up to the real time that passed, running the events due on the way.
void catchUp(ClockState& s) {
    const uint64_t target = static_cast<uint64_t>(s.realElapsedUs() / s.pace);
    while (runNextEvent(s, target)) {
    }
    moveTo(s, target);
}

// A sleep of a program that lives in real time: the lock is given up while it waits.
void sleepInRealTime(ClockState& s, uint64_t us) {
    const uint64_t wakeUs = s.nowUs + us;
    while (s.nowUs < wakeUs) {
        const uint64_t realUs = s.realElapsedUs();
        const auto waitUs = static_cast<uint64_t>(wakeUs * s.pace);
        tlsLock.unlock();
        if (waitUs > realUs) {
            std::this_thread::sleep_for(std::chrono::microseconds(waitUs - realUs));
        }
        tlsLock.lock();
        catchUp(s);
        if (s.nowUs < wakeUs && s.realElapsedUs() >= waitUs) {
            moveTo(s, wakeUs);  // rounding: the real wait is over
        }
    }
}

}  // namespace

VirtualClock::Lock::Lock() {
    if (!tlsLock.owns_lock()) {
        tlsLock = std::unique_lock<std::mutex>(state().mutex);
        owner_ = true;
        if (state().followsRealTime) {
            catchUp(state());
        }
    }
}

uint64_t VirtualClock::fromProgramUs(uint64_t us) {
    const ClockState& s = state();
    return s.followsRealTime ? static_cast<uint64_t>(us / s.pace) : us;
}

uint64_t VirtualClock::toProgramUs(uint64_t us) {
    const ClockState& s = state();
    return s.followsRealTime ? static_cast<uint64_t>(us * s.pace) : us;
}

VirtualClock::Lock::~Lock() {
    if (owner_) {
        tlsLock.unlock();
    }
}

uint64_t VirtualClock::nowUs() {
    Lock lock;
    return state().nowUs;
}

void VirtualClock::sleepUs(uint64_t us) {
    if (us == 0) {
        return;
    }
    Lock lock;
    ClockState& s = state();
    if (s.followsRealTime) {
        sleepInRealTime(s, us);
        return;
    }
    Sleeper me{s.nowUs + us};
    s.sleepers.push_back(&me);
    ++s.asleep;
    advanceWhileStuck(s);
    s.wakeUp.wait(tlsLock, [&] { return me.woken; });
    s.sleepers.remove(&me);
}

bool VirtualClock::sleepUntilSet(uint64_t us, const bool& flag) {
    Lock lock;
    ClockState& s = state();
    if (flag || us == 0) {
        return flag;
    }
    if (s.followsRealTime) {
        sleepInRealTime(s, us);
        return flag;
    }
    Sleeper me{s.nowUs + us};
    me.flag = &flag;
    s.sleepers.push_back(&me);
    ++s.asleep;
    advanceWhileStuck(s);
    s.wakeUp.wait(tlsLock, [&] { return me.woken; });
    s.sleepers.remove(&me);
    return flag;
}

void VirtualClock::setFlag(bool& flag) {
    Lock lock;
    ClockState& s = state();
    flag = true;
    for (Sleeper* sleeper : s.sleepers) {
        if (!sleeper->woken && sleeper->flag == &flag) {
            sleeper->woken = true;
            --s.asleep;
        }
    }
    s.wakeUp.notify_all();
}

void VirtualClock::schedule(uint64_t delayUs, std::function<void()> fn) {
    Lock lock;
    ClockState& s = state();
    s.events.push_back(Event{s.nowUs + delayUs, s.nextSequence++, std::move(fn)});
}

void VirtualClock::settle(uint64_t horizonUs) {
    Lock lock;
    ClockState& s = state();
    const uint64_t limit = s.nowUs + horizonUs;
    while (runNextEvent(s, limit)) {
    }
}

uint64_t VirtualClock::peekUs() {
    ClockState& s = state();
    std::unique_lock<std::mutex> lock(s.mutex, std::try_to_lock);
    if (s.followsRealTime)
        return std::max(s.nowUs, static_cast<uint64_t>(s.realElapsedUs() / s.pace));
    return s.nowUs;
}

double VirtualClock::pace() {
    return state().pace;
}

void VirtualClock::takeOverProgramSleeps() {
    Lock lock;
    ClockState& s = state();
    s.followsRealTime = false;
    const char* text = std::getenv("UNITFLASH_SIM_PACE");
    s.pace = text ? std::max(0.0, std::atof(text)) : 0.0;
}

void VirtualClock::reset() {
    Lock lock;
    state().nowUs = 0;
    state().events.clear();
}

void VirtualClock::actorStarted() {
    Lock lock;
    ++state().actors;
}

void VirtualClock::actorEnded() {
    Lock lock;
    --state().actors;
    advanceWhileStuck(state());
}

void VirtualClock::idleBegin() {
    Lock lock;
    ++state().idle;
    advanceWhileStuck(state());
}

void VirtualClock::idleEnd() {
    Lock lock;
    --state().idle;
}

}  // namespace sim

#ifndef UNITFLASH_SIM_FOREIGN_PROGRAM
// In builds linked to the virtual bus, every wait and thread of the tool runs on the virtual clock.
namespace platform {

void sleepMs(uint32_t ms) {
    sim::VirtualClock::sleepUs(uint64_t{ms} * 1000);
}

uint64_t monotonicMs() {
    return sim::VirtualClock::nowUs() / 1000;
}

std::thread startWorker(std::function<void()> fn) {
    sim::VirtualClock::actorStarted();
    return std::thread([fn = std::move(fn)] {
        fn();
        sim::VirtualClock::actorEnded();
    });
}

void joinWorker(std::thread& worker) {
    if (!worker.joinable()) {
        return;
    }
    sim::VirtualClock::idleBegin();
    worker.join();
    sim::VirtualClock::idleEnd();
}

// The flag is only read and written under the simulation lock.
struct Signal::State {
    bool set = false;
};

Signal::Signal() : state_(std::make_unique<State>()) {}

Signal::~Signal() = default;

void Signal::set() {
    sim::VirtualClock::setFlag(state_->set);
}

bool Signal::waitMs(uint32_t ms) {
    return sim::VirtualClock::sleepUntilSet(uint64_t{ms} * 1000, state_->set);
}

}  // namespace platform
#endif
