#include "InterfaceClaims.h"

#include <fcntl.h>
#include <libusb.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#include <cerrno>
#include <csignal>
#endif

#include <cstdio>
#include <fstream>
#include <string>

#include "sim/Scenario.h"

namespace sim {

namespace {

long thisProcess() {
#ifdef _WIN32
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
}

bool processRuns(long id) {
#ifdef _WIN32
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (process == nullptr) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
#else
    return kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
#endif
}

// Creates the file naming this process; false when it exists already. A file left short names
// no process and counts as held (see holderOf).
bool createNamingThisProcess(const std::string& file) {
    const std::string id = std::to_string(thisProcess());
#ifdef _WIN32
    const int fd =
        _open(file.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        return false;
    }
    [[maybe_unused]] const int written = _write(fd, id.data(), static_cast<unsigned>(id.size()));
    _close(fd);
#else
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        return false;
    }
    [[maybe_unused]] const ssize_t written = write(fd, id.data(), id.size());
    close(fd);
#endif
    return true;
}

// The process a claim file names; 0 when it names none (yet: its creator is still writing it).
long holderOf(const std::string& file) {
    long holder = 0;
    std::ifstream(file) >> holder;
    return holder;
}

bool heldByAnotherProcess(const std::string& file) {
    if (file.empty() || !std::ifstream(file).good()) {
        return false;
    }
    const long holder = holderOf(file);
    return holder != thisProcess() && (holder <= 0 || processRuns(holder));
}

// False when another running process holds the claim.
bool claimAcrossProcesses(const std::string& file) {
    if (file.empty()) {
        return true;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (createNamingThisProcess(file) || holderOf(file) == thisProcess()) {
            return true;
        }
        if (heldByAnotherProcess(file)) {
            return false;
        }
        std::remove(file.c_str());  // left by a process that has ended
    }
    return false;
}

std::string claimFileOf(const Attachment& attachment, int interfaceNumber) {
    return Scenario::claimFile(attachment.busNumber, attachment.portPath, interfaceNumber);
}

}  // namespace

int claimInterface(Attachment& attachment, const void* handle, int interfaceNumber) {
    const auto holder = attachment.claims.find(interfaceNumber);
    if (holder != attachment.claims.end()) {
        return holder->second == handle ? LIBUSB_SUCCESS : LIBUSB_ERROR_BUSY;
    }
    const std::string file = claimFileOf(attachment, interfaceNumber);
    if (!claimAcrossProcesses(file)) {
        return LIBUSB_ERROR_BUSY;
    }
    const int result = attachment.device->claimInterface(interfaceNumber);
    if (result == LIBUSB_SUCCESS) {
        attachment.claims[interfaceNumber] = handle;
    } else if (!file.empty()) {
        std::remove(file.c_str());
    }
    return result;
}

void releaseInterface(Attachment& attachment, int interfaceNumber) {
    if (attachment.claims.erase(interfaceNumber) == 0) {
        return;
    }
    const std::string file = claimFileOf(attachment, interfaceNumber);
    if (!file.empty() && holderOf(file) == thisProcess()) {
        std::remove(file.c_str());
    }
}

void releaseClaims(Attachment& attachment) {
    while (!attachment.claims.empty()) {
        releaseInterface(attachment, attachment.claims.begin()->first);
    }
}

bool anyInterfaceClaimed(const Attachment& attachment) {
    if (!attachment.claims.empty()) {
        return true;
    }
    const std::vector<uint8_t> config = attachment.device->configDescriptor();
    const int interfaces = config.size() > 4 ? config[4] : 0;
    for (int i = 0; i < interfaces; ++i) {
        if (heldByAnotherProcess(claimFileOf(attachment, i))) {
            return true;
        }
    }
    return false;
}

}  // namespace sim
