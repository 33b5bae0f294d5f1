#include "sim/DfuTiming.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "DfuTimingRecord.h"
#include "sim/Bus.h"
#include "sim/UnitHardware.h"
#include "sim/VirtualClock.h"

namespace sim {
namespace {

DfuTiming& current() {
    static DfuTiming* timing = new DfuTiming;  // still in use while the process exits
    return *timing;
}

void writeTimingFile() {
    const char* path = std::getenv("UNITFLASH_SIM_TIMING_FILE");
    // Appended: the runs of an update with --all write one block each.
    FILE* out = path && *path ? std::fopen(path, "a") : nullptr;
    if (out == nullptr)
        return;
    const DfuTiming& t = current();
    const uint64_t written = t.writtenHigh - t.writtenLow;
    std::fprintf(out, "pace=%g\n", VirtualClock::pace());
    const std::pair<const char*, uint64_t> lines[] = {
        {"virtual_us", VirtualClock::peekUs()},
        {"first_erase_us", t.firstEraseUs},
        {"first_download_us", t.firstDownloadUs},
        {"requests", t.requests},
        {"leave_us", t.leaveUs},
        {"erase_busy_us", t.eraseBusyUs},
        {"program_busy_us", t.programBusyUs},
        {"download_bytes", t.downloadBytes},
        {"upload_bytes", t.uploadBytes},
        {"first_upload_us", t.firstUploadUs},
        {"last_upload_us", t.lastUploadUs},
        {"written_bytes", written},
        {"erase_floor_us", flashEraseFloorUs(t.writtenLow, written)},
        {"program_floor_us", flashProgramFloorUs(written)},
        {"bus_data_us", controlDataUs(written)},
        {"protocol_floor_us", protocolFloorUs(t.writtenLow, written, t.uploadBytes > 0)},
    };
    for (const auto& [key, value] : lines)
        std::fprintf(out, "%s=%llu\n", key, static_cast<unsigned long long>(value));
    std::fclose(out);
}

}  // namespace

DfuTiming DfuTiming::snapshot() {
    VirtualClock::Lock lock;
    return current();
}

void DfuTiming::reset() {
    VirtualClock::Lock lock;
    current() = DfuTiming{};
}

void recordEraseRequest() {
    if (current().firstEraseUs == 0)
        current().firstEraseUs = std::max<uint64_t>(VirtualClock::nowUs(), 1);
}

void recordDownloadRequest() {
    if (current().firstDownloadUs == 0)
        current().firstDownloadUs = std::max<uint64_t>(VirtualClock::nowUs(), 1);
}

void recordRequest() {
    ++current().requests;
}

void recordLeave() {
    current().leaveUs = VirtualClock::nowUs();
}

void recordBusy(uint64_t eraseUs, uint64_t programUs) {
    current().eraseBusyUs += eraseUs;
    current().programBusyUs += programUs;
}

void recordProgram(uint64_t address, size_t bytes, uint64_t busyUs) {
    DfuTiming& t = current();
    t.programBusyUs += busyUs;
    t.downloadBytes += bytes;
    if (t.writtenHigh == t.writtenLow) {
        t.writtenLow = address;
        t.writtenHigh = address + bytes;
    } else {
        t.writtenLow = std::min(t.writtenLow, address);
        t.writtenHigh = std::max<uint64_t>(t.writtenHigh, address + bytes);
    }
}

void recordUpload(size_t bytes) {
    DfuTiming& t = current();
    t.uploadBytes += bytes;
    t.lastUploadUs = VirtualClock::nowUs();
    if (t.firstUploadUs == 0)
        t.firstUploadUs = std::max<uint64_t>(t.lastUploadUs, 1);
}

void writeTimingFileAtExit() {
    if (const char* path = std::getenv("UNITFLASH_SIM_TIMING_FILE"); path && *path)
        std::atexit(writeTimingFile);
}

}  // namespace sim
