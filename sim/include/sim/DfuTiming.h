#pragma once

#include <cstdint>

namespace sim {

// What the simulated boot loaders of this process did, on the virtual clock: when the first
// erase command came and when a boot loader was last told to leave, the busy time its flash
// spent and the memory data that crossed the bus. Benchmarks set it against the least time the
// device needs for an image (deviceFloorUs). Bus::reset starts it afresh.
//
// With UNITFLASH_SIM_TIMING_FILE set, the process writes it at exit as `key=value` lines,
// together with the virtual clock (`virtual_us`), the pace and the floor of the flash range
// written; that is how the simulated time of a foreign program (dfu-util) is measured.
struct DfuTiming {
    uint64_t firstEraseUs = 0;  // the erase request's transfer began; 0 = no erase
    // The first DNLOAD (a DfuSe command or data) began: the first erase, or the address command
    // before a host reads the flash back first; 0 = none.
    uint64_t firstDownloadUs = 0;
    uint64_t requests = 0;  // control requests the boot loaders answered
    uint64_t leaveUs = 0;   // the GETSTATUS that answered dfuMANIFEST; 0 = none
    uint64_t eraseBusyUs = 0;
    uint64_t programBusyUs = 0;
    uint64_t downloadBytes = 0;  // data blocks (not commands) to memory
    uint64_t uploadBytes = 0;    // data blocks read back from memory
    uint64_t firstUploadUs = 0;  // the first and the last such block's request began
    uint64_t lastUploadUs = 0;
    uint64_t writtenLow = 0;  // internal flash range written: [writtenLow, writtenHigh)
    uint64_t writtenHigh = 0;

    // A copy taken under the simulation lock.
    static DfuTiming snapshot();
    static void reset();
};

// The least time the simulated STM32F405/407 needs to take an image of `bytes` at the start of
// its internal flash: typical erase time of every sector the image touches, 16 us per 32-bit
// word programmed, and the image crossing the control pipe at full speed `passes` times (1 for
// a download, 2 with a read-back), without per-transfer overhead.
uint64_t flashEraseFloorUs(uint64_t address, uint64_t bytes);
uint64_t flashProgramFloorUs(uint64_t bytes);
uint64_t controlDataUs(uint64_t bytes);
inline uint64_t deviceFloorUs(uint64_t address, uint64_t bytes, unsigned passes) {
    return flashEraseFloorUs(address, bytes) + flashProgramFloorUs(bytes) +
           passes * controlDataUs(bytes);
}

// The least time a host that follows DFU 1.1 and DfuSe needs for the same image as one element,
// from its first erase request to the status request that makes the chip leave, under the bus
// model (Bus::transferEndUs) and the chip's default timing: per sector touched one erase command
// and two status requests; one Set Address Pointer (two status requests, the chip's 104 ms);
// per block one DNLOAD and two GETSTATUS; the typical erase and programming time; with
// `readBack` another Set Address Pointer, the ABORT to dfuIDLE and one UPLOAD per block; the
// leave's Set Address Pointer and zero-length DNLOAD. Each request costs its whole frames, so a
// DNLOAD's data stage takes the place of the device floor's bytes on the bus.
uint64_t protocolFloorUs(uint64_t address, uint64_t bytes, bool readBack);

}  // namespace sim
