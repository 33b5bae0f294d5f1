#include "platform/Interrupt.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

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

// Console events reach the children by themselves.
bool passInterruptsTo(long long) {
    return true;
}
void stopPassingInterruptsTo(long long) {}
InterruptsHeld::InterruptsHeld() = default;
InterruptsHeld::~InterruptsHeld() = default;
void detachChildProcess() {}

#else

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[sizeof kSignals / sizeof kSignals[0]];

// The children that get the signals too; read in the signal handler, so fixed and lock-free.
constexpr size_t kMaxChildren = 256;
std::atomic<pid_t> children[kMaxChildren];
std::atomic<size_t> childCount{0};

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signalNumber : kSignals) {
        sigaddset(&set, signalNumber);
    }
    return set;
}

extern "C" void onInterrupt(int signalNumber) {
    for (size_t i = 0; i < childCount.load(); ++i) {
        const pid_t child = children[i].load();
        if (child > 0) {  // 0: one that has ended (and 0 would name our own process group)
            kill(child, signalNumber);
        }
    }
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

bool passInterruptsTo(long long processId) {
    const size_t slot = childCount.load();
    if (processId <= 0 || slot == kMaxChildren) {
        return false;
    }
    children[slot].store(static_cast<pid_t>(processId));
    childCount.store(slot + 1);
    return true;
}

void stopPassingInterruptsTo(long long processId) {
    for (size_t i = 0; i < childCount.load(); ++i) {
        if (processId > 0 && children[i].load() == static_cast<pid_t>(processId)) {
            children[i].store(0);
        }
    }
}

InterruptsHeld::InterruptsHeld() {
    const sigset_t set = stopSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

InterruptsHeld::~InterruptsHeld() {
    const sigset_t set = stopSignals();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void detachChildProcess() {
    setpgid(0, 0);
    const sigset_t set = stopSignals();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

#endif

}  // namespace platform
