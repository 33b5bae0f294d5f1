// unitflash-usbfs [--] PROGRAM [ARGS...]: runs a program linked to the system's libusb on the
// simulated devices of the scenario, through umockdev's usbfs emulation (see sim/README.md).

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BusMirror.h"
#include "SignalRelay.h"
#include "SimLink.h"
#include "UsbfsHandler.h"

extern char** environ;

namespace {

constexpr auto kMirrorInterval = std::chrono::milliseconds(2);
constexpr const char* kPreload = "libumockdev-preload.so.0";

std::string besideThisProgram(const char* name) {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return name;
    }
    std::string path(self, static_cast<size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + name;
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : path;
}

// The program's environment: the simulator's variables stay with the bridge, umockdev's
// preload library comes first.
std::vector<std::string> childEnvironment(const std::string& root, bool trace) {
    std::vector<std::string> environment;
    std::string preload = kPreload;  // the bridge runs with it already (see main)
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("UNITFLASH_SIM_", 0) == 0 || variable.rfind("UMOCKDEV_DIR=", 0) == 0) {
            continue;
        }
        if (variable.rfind("LD_PRELOAD=", 0) == 0) {
            if (!trace && variable.size() > 11) {
                preload = variable.substr(11);
            }
            continue;
        }
        environment.push_back(variable);
    }
    if (trace) {
        environment.emplace_back("LD_TRACE_LOADED_OBJECTS=1");
    } else {
        environment.push_back("LD_PRELOAD=" + preload);
        environment.push_back("UMOCKDEV_DIR=" + root);
    }
    return environment;
}

pid_t spawn(char** argv, const std::vector<std::string>& environment, int outFd, int errFd = -1) {
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (const std::string& variable : environment) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    }
    if (errFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, argv[0], &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return failed ? -1 : pid;
}

// Which libusb the program loads, as the dynamic loader resolves it; empty when none.
std::string programLibusb(char** argv) {
    int ends[2];
    if (pipe(ends) != 0) {
        return {};
    }
    const pid_t pid = spawn(argv, childEnvironment({}, true), ends[1]);
    close(ends[1]);
    std::string listing;
    char chunk[4096];
    for (ssize_t got; (got = read(ends[0], chunk, sizeof chunk)) > 0;) {
        listing.append(chunk, static_cast<size_t>(got));
    }
    close(ends[0]);
    if (pid > 0) {
        waitpid(pid, nullptr, 0);
    }
    const size_t name = listing.find("libusb-1.0.so");
    const size_t arrow = listing.find("=> ", name);
    if (name == std::string::npos || arrow == std::string::npos) {
        return {};
    }
    const size_t end = listing.find_first_of(" \n", arrow + 3);
    return listing.substr(arrow + 3, end - arrow - 3);
}

// umockdev prints a notice for each uevent that finds the program's hot-plug socket already
// closed (the program is on its way out, a device restarts meanwhile): noise that the program
// run without the bridge would not print. The bridge's own standard error passes through this
// filter; the program keeps the real one.
class StderrFilter {
  public:
    StderrFilter() : original_(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
        int ends[2];
        if (original_ < 0 || pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        dup2(ends[1], STDERR_FILENO);
        close(ends[1]);
        reader_ = std::thread([this, in = ends[0]] { pump(in); });
    }
    StderrFilter(const StderrFilter&) = delete;
    StderrFilter& operator=(const StderrFilter&) = delete;
    ~StderrFilter() {
        if (reader_.joinable()) {
            dup2(original_, STDERR_FILENO);  // the pipe's last writer goes: the reader ends
            reader_.join();
        }
        if (original_ >= 0) {
            close(original_);
        }
    }
    int original() const { return original_; }

  private:
    static constexpr const char* kClientGone = "cannot connect to client's event socket";

    void pump(int in) const {
        std::string pending;
        char chunk[1024];
        for (ssize_t got; (got = read(in, chunk, sizeof chunk)) > 0;) {
            pending.append(chunk, static_cast<size_t>(got));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                pass(pending.substr(0, end + 1));
                pending.erase(0, end + 1);
            }
        }
        pass(pending);
        close(in);
    }
    void pass(const std::string& line) const {
        if (!line.empty() && line.find(kClientGone) == std::string::npos) {
            (void)!write(original_, line.data(), line.size());
        }
    }

    int original_;
    std::thread reader_;
};

int exitStatusOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: unitflash-usbfs [--] PROGRAM [ARGS...]\n"
                 "Runs PROGRAM, linked to the system's libusb, on the simulated devices of\n"
                 "UNITFLASH_SIM_SCENARIO (or UNITFLASH_SIM_HOME) through umockdev.\n");
    return 2;
}

// umockdev sends uevents from a process that sees the testbed's sysfs: the bridge runs under the
// preload library too. Returns only when it already does.
void runUnderPreload(char** argv) {
    const char* preloaded = getenv("LD_PRELOAD");
    if (preloaded != nullptr && std::strstr(preloaded, kPreload) != nullptr) {
        return;
    }
    const std::string preload =
        std::string(kPreload) + (preloaded && *preloaded ? std::string(":") + preloaded : "");
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "unitflash-usbfs: cannot start under umockdev: %s\n",
                 std::strerror(errno));
    std::exit(2);
}

// The bridge only makes sense for a program on the system's libusb.
bool loadsSystemLibusb(char** program, const std::string& dropIn) {
    const std::string libusb = programLibusb(program);
    if (libusb.empty()) {
        std::fprintf(stderr, "unitflash-usbfs: %s does not load libusb-1.0\n", program[0]);
        return false;
    }
    if (realPath(libusb) == realPath(dropIn)) {
        std::fprintf(stderr,
                     "unitflash-usbfs: %s loads the simulator's libusb (%s), not the system's\n",
                     program[0], libusb.c_str());
        return false;
    }
    return true;
}

// Runs the program while the testbed mirrors the simulated devices; its wait status.
int runMirrored(char** program, UMockdevTestbed* testbed, const gchar* root, usbfs::SimLink& link,
                usbfs::SignalRelay& signals, int stderrFd) {
    int status = 0;
    usbfs::UsbfsHandler handler(link);
    usbfs::BusMirror mirror(testbed, handler);
    std::vector<usbfs::SimDevice> devices = link.devices();
    mirror.sync(devices);

    const pid_t child = spawn(program, childEnvironment(root, false), -1, stderrFd);
    if (child < 0) {
        std::fprintf(stderr, "unitflash-usbfs: cannot run %s\n", program[0]);
        status = 127 << 8;
    }
    while (child > 0 && waitpid(child, &status, WNOHANG) == 0) {
        devices = link.devices();
        mirror.sync(devices);
        signals.relay(child);
        std::this_thread::sleep_for(kMirrorInterval);
    }
    // umockdev's thread calls the handler until the testbed is gone.
    g_object_unref(testbed);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    if (first < argc && std::strcmp(argv[first], "--") == 0) {
        ++first;
    }
    if (first >= argc || argv[first][0] == '-') {
        return usage();
    }
    runUnderPreload(argv);
    char** program = argv + first;
    const std::string dropIn = besideThisProgram("libusb-1.0.so.0");
    if (!loadsSystemLibusb(program, dropIn)) {
        return 2;
    }

    usbfs::SignalRelay signals;  // before umockdev's threads
    // The testbed before anything asks whether this is a mock environment: umockdev keeps its
    // first answer.
    UMockdevTestbed* testbed = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(testbed);
    usbfs::SimLink link;
    if (const std::string error = link.load(dropIn); !error.empty()) {
        std::fprintf(stderr, "unitflash-usbfs: %s\n", error.c_str());
        return 2;
    }
    const StderrFilter filter;
    const int status = runMirrored(program, testbed, root, link, signals, filter.original());
    // A normal end: the simulator lets a restarting device finish and saves the state.
    link.exit(link.context);
    g_free(root);
    return exitStatusOf(status);
}
