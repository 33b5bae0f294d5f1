#include "Interruption.h"

#include <csignal>

#include "platform/Interrupt.h"

namespace unitflash {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[sizeof kSignals / sizeof kSignals[0]];

extern "C" void onInterrupt(int signalNumber) {
    if (platform::interruptRequested.exchange(true)) {
        // The second request: the user wants out now.
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
    }
}

}  // namespace

InterruptGuard::InterruptGuard() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        sigaction(kSignals[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN) {
            sigaction(kSignals[i], &action, nullptr);
        }
    }
}

InterruptGuard::~InterruptGuard() {
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        sigaction(kSignals[i], &previous[i], nullptr);
    }
}

bool interrupted() {
    return platform::interruptRequested;
}

void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace unitflash
