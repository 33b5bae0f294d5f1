#pragma once

#include <cstddef>
#include <cstdint>

// The boot loader's side of sim::DfuTiming; callers hold the simulation lock.
namespace sim {

void recordEraseRequest();
void recordDownloadRequest();
void recordRequest();
void recordLeave();
void recordBusy(uint64_t eraseUs, uint64_t programUs);
void recordProgram(uint64_t address, size_t bytes, uint64_t busyUs);
void recordUpload(size_t bytes);
// Writes the timing file of UNITFLASH_SIM_TIMING_FILE, when set, at process exit.
void writeTimingFileAtExit();

}  // namespace sim
