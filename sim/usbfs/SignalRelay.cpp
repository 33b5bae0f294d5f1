#include "SignalRelay.h"

#include <fcntl.h>
#include <signal.h>
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
[[noreturn]] void watch(int ask, int answer) {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        close(fd);  // whoever reads the bridge's output waits for the bridge alone
    }
    unsigned char signal = 0;
    while (read(ask, &signal, 1) == 1) {
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
        (void)!write(answer, &got, 1);
    }
    _exit(0);
}

}  // namespace

SignalRelay::SignalRelay() {
    int arrived[2];
    int ask[2];
    int answer[2];
    if (pipe2(arrived, O_CLOEXEC | O_NONBLOCK) != 0 || pipe2(ask, O_CLOEXEC) != 0 ||
        pipe2(answer, O_CLOEXEC) != 0) {
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
        close(ask[1]);
        close(answer[0]);
        watch(ask[0], answer[1]);
    }
    close(ask[0]);
    close(answer[1]);
    arrived_ = arrived[0];
    caughtPipe = arrived[1];
    ask_ = ask[1];
    answer_ = answer[0];
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
    if (ask_ >= 0) {
        close(ask_);  // the watcher reads the end and ends
    }
    if (watcher_ > 0) {
        waitpid(watcher_, nullptr, 0);
    }
    if (answer_ >= 0) {
        close(answer_);
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
    return watcher_ > 0 && write(ask_, &signal, 1) == 1 && read(answer_, &got, 1) == 1 && got == 1;
}

}  // namespace usbfs
