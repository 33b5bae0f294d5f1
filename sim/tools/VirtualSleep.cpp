// libunitflash-sim-sleep.so: preloaded into a foreign program on the drop-in libusb (dfu-util),
// it turns the program's sleeps into sleeps on the virtual clock. The program then runs in
// virtual time as unitflash-sim does: its simulated time is the device's time plus the waits it
// asks for, independent of the machine's load and of its own CPU time. For benchmarks.
#include <cerrno>
#include <ctime>

#include <unistd.h>

#include "sim/VirtualClock.h"

namespace {

__attribute__((constructor)) void takeOver() {
    sim::VirtualClock::takeOverProgramSleeps();
}

uint64_t microseconds(const timespec* t) {
    return static_cast<uint64_t>(t->tv_sec) * 1000000 + static_cast<uint64_t>(t->tv_nsec) / 1000;
}

}  // namespace

extern "C" {

int nanosleep(const timespec* duration, timespec* remaining) {
    if (duration == nullptr || duration->tv_nsec < 0 || duration->tv_nsec >= 1000000000) {
        errno = EINVAL;
        return -1;
    }
    sim::VirtualClock::sleepUs(microseconds(duration));
    if (remaining != nullptr)
        *remaining = timespec{};
    return 0;
}

int usleep(useconds_t us) {
    sim::VirtualClock::sleepUs(us);
    return 0;
}

unsigned int sleep(unsigned int seconds) {
    sim::VirtualClock::sleepUs(uint64_t{seconds} * 1000000);
    return 0;
}

}  // extern "C"
