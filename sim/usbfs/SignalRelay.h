#pragma once

// The signals that end a run (Ctrl-C, a hang-up, SIGTERM), for the program under the bridge.
// The program runs in the bridge's process group, so a signal sent to the group reaches it by
// itself, while one sent to the bridge alone must be passed on. The two look alike to the
// bridge (kill() of a group and of one process give the same siginfo), so a watcher process
// in the group holds these signals pending: when the watcher has one too, the group got it.

#include <sys/types.h>

namespace usbfs {

class SignalRelay {
  public:
    // Starts the watcher and catches the signals; a signal the bridge inherited as ignored
    // (nohup) stays ignored, for the program too. Call it before the bridge starts threads.
    SignalRelay();
    ~SignalRelay();
    SignalRelay(const SignalRelay&) = delete;
    SignalRelay& operator=(const SignalRelay&) = delete;

    // Passes the signals that came to the bridge alone since the last call on to `program`.
    void relay(pid_t program);

  private:
    // Whether the watcher got `signal` too; it lets go of it.
    bool groupGot(unsigned char signal) const;

    pid_t watcher_ = -1;
    int arrived_ = -1;  // the signals the bridge caught, one byte each
    int watcherChannel_ = -1;
};

}  // namespace usbfs
