#include "SignalRelay.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace usbfs {

namespace {

constexpr int kRelayed[] = {SIGINT, SIGTERM, SIGHUP};
int caughtPipe = -1;  // the write end of SignalRelay::arrived_

extern "C" void onSignal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    (void)!write(caughtPipe, &byte, 1);
    errno = saved;
}

// The watcher, a fork of the bridge: only async-signal-safe calls. It holds the signals
// blocked, so they stay pending until the bridge asks about them.
[[noreturn]] void watch(int bridge) {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        close(fd);  // whoever reads the bridge's output waits for the bridge alone
    }
    unsigned char signal = 0;
    while (recv(bridge, &signal, 1, 0) == 1) {
        sigset_t pending;
        sigpending(&pending);
        const unsigned char got = sigismember(&pending, signal) == 1 ? 1 : 0;
        if (got != 0) {
            // Ignoring a pending signal discards it; then it is held again for the next one.
            struct sigaction ignore {};
            struct sigaction held {};
            ignore.sa_handler = SIG_IGN;
            sigaction(signal, &ignore, &held);
            sigaction(signal, &held, nullptr);
        }
        (void)!send(bridge, &got, 1, MSG_NOSIGNAL);
    }
    _exit(0);
}

}  // namespace

SignalRelay::SignalRelay() {
    int arrived[2];
    int channel[2];
    if (pipe2(arrived, O_CLOEXEC | O_NONBLOCK) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        return;
    }
    sigset_t relayed;
    sigemptyset(&relayed);
    for (int signal : kRelayed) {
        sigaddset(&relayed, signal);
    }
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &relayed, &previous);  // the watcher starts with them held
    watcher_ = fork();
    if (watcher_ == 0) {
        close(arrived[0]);
        close(arrived[1]);
        close(channel[0]);
        watch(channel[1]);
    }
    close(channel[1]);
    arrived_ = arrived[0];
    caughtPipe = arrived[1];
    watcherChannel_ = channel[0];
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kRelayed) {
        struct sigaction inherited {};
        sigaction(signal, nullptr, &inherited);
        if (inherited.sa_handler != SIG_IGN) {
            sigaction(signal, &action, nullptr);
        }
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

SignalRelay::~SignalRelay() {
    if (watcherChannel_ >= 0) {
        close(watcherChannel_);  // the watcher reads the end and ends
    }
    if (watcher_ > 0) {
        waitpid(watcher_, nullptr, 0);
    }
}

void SignalRelay::relay(pid_t program) {
    unsigned char signal = 0;
    while (arrived_ >= 0 && read(arrived_, &signal, 1) == 1) {
        // A program that left the group does not get the group's signals.
        if (!groupGot(signal) || getpgid(program) != getpgrp()) {
            kill(program, signal);
        }
    }
}

bool SignalRelay::groupGot(unsigned char signal) const {
    unsigned char got = 0;
    // A watcher that is gone no longer tells: then the signal is passed on.
    return watcher_ > 0 && send(watcherChannel_, &signal, 1, MSG_NOSIGNAL) == 1 &&
           recv(watcherChannel_, &got, 1, 0) == 1 && got == 1;
}

}  // namespace usbfs
