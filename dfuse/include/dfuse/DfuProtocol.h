#pragma once

#include <cstdint>

// USB DFU 1.1 states and status codes, as the device reports them in its GETSTATUS reply.

enum DfuState : uint8_t {
    kDfuStateAppIdle = 0,
    kDfuStateAppDetach = 1,
    kDfuStateIdle = 2,
    kDfuStateDnloadSync = 3,
    kDfuStateDnBusy = 4,
    kDfuStateDnloadIdle = 5,
    kDfuStateManifestSync = 6,
    kDfuStateManifest = 7,
    kDfuStateManifestWaitReset = 8,
    kDfuStateUploadIdle = 9,
    kDfuStateError = 10,
};

inline constexpr const char* kDfuStateNames[] = {
    "appIDLE",        "appDETACH",        "dfuIDLE",     "dfuDNLOAD-SYNC",         "dfuDNBUSY",
    "dfuDNLOAD-IDLE", "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET", "dfuUPLOAD-IDLE",
    "dfuERROR",
};

enum DfuDeviceStatus : uint8_t {
    kDfuStatusOk = 0x00,
    kDfuStatusErrTarget = 0x01,
    kDfuStatusErrFile = 0x02,
    kDfuStatusErrWrite = 0x03,
    kDfuStatusErrErase = 0x04,
    kDfuStatusErrCheckErased = 0x05,
    kDfuStatusErrProg = 0x06,
    kDfuStatusErrVerify = 0x07,
    kDfuStatusErrAddress = 0x08,
    kDfuStatusErrNotDone = 0x09,
    kDfuStatusErrFirmware = 0x0A,
    kDfuStatusErrVendor = 0x0B,
    kDfuStatusErrUsbr = 0x0C,
    kDfuStatusErrPor = 0x0D,
    kDfuStatusErrUnknown = 0x0E,
    kDfuStatusErrStalledPkt = 0x0F,
};

inline constexpr const char* kDfuDeviceStatusNames[] = {
    "OK",      "errTARGET", "errFILE",    "errWRITE",      "errERASE",    "errCHECK_ERASED",
    "errPROG", "errVERIFY", "errADDRESS", "errNOTDONE",    "errFIRMWARE", "errVENDOR",
    "errUSBR", "errPOR",    "errUNKNOWN", "errSTALLEDPKT",
};

// The 6-byte GETSTATUS reply.
struct DfuStatus {
    uint8_t bStatus;
    uint8_t bwPollTimeout[3];  // milliseconds, little-endian
    uint8_t bState;
    uint8_t iString;
};
static_assert(sizeof(DfuStatus) == 6, "GETSTATUS reply is 6 bytes");

inline uint32_t dfuPollTimeoutMs(const DfuStatus& s) {
    return s.bwPollTimeout[0] | (s.bwPollTimeout[1] << 8) | (uint32_t(s.bwPollTimeout[2]) << 16);
}
