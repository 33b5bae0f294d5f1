#include "platform/Interrupt.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace platform {

#ifdef _WIN32

namespace {

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (interruptRequested.exchange(true)) {
        return FALSE;  // the second request: the default handler ends the process now
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process as soon as this returns: hold on while the update reaches
        // its safe point and ends by itself (or until Windows stops waiting).
        Sleep(INFINITE);
    }
    return TRUE;
}

}  // namespace

InterruptGuard::InterruptGuard() {
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

InterruptGuard::~InterruptGuard() {
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

// Windows has no SIGPIPE: a write into a pipe without a reader fails and is dropped.
void ignoreBrokenPipes() {}

#else

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[sizeof kSignals / sizeof kSignals[0]];

extern "C" void onInterrupt(int signalNumber) {
    if (interruptRequested.exchange(true)) {
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

void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

#endif

}  // namespace platform
