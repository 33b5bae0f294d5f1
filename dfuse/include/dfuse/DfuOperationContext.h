#pragma once

#include <cstddef>
#include <cstdint>

// The device interface class of DFU-mode devices, laid out as its 16 bytes are in memory on a
// little-endian host: AB 09 E8 3F 91 FB B5 4C A6 43 69 67 0D 52 36 6E.
struct DfuGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
static_assert(sizeof(DfuGuid) == 16, "DfuGuid must be 16 bytes");

inline constexpr DfuGuid kDfuInterfaceGuid = {
    0x3FE809AB, 0xFB91, 0x4CB5, {0xA6, 0x43, 0x69, 0x67, 0x0D, 0x52, 0x36, 0x6E}};

inline bool operator==(const DfuGuid& a, const DfuGuid& b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.data4[i] != b.data4[i]) {
            return false;
        }
    }
    return true;
}

// Operation codes of STDFUPRT_LaunchOperation.
inline constexpr uint32_t kDfuOperationLeave = 1;
inline constexpr uint32_t kDfuOperationErase = 3;
inline constexpr uint32_t kDfuOperationUpgrade = 4;
// Reads back the sectors the image's data touches and keeps in the image only those that do not
// hold yet what an erase and upgrade with it would leave there (see STDFUPRT_LaunchOperation).
inline constexpr uint32_t kDfuOperationCompare = 5;

inline constexpr size_t kDfuDevicePathSize = 260;

// The record shared by the caller and a running operation: byte-packed, 345 bytes, integers in
// host (little-endian) order. The caller zero-fills it and sets guid, operation, image and
// devicePath; the library writes percent and errorCode on every status query.
#pragma pack(push, 1)
struct DfuOperationContext {
    DfuGuid guid;
    uint8_t reserved16[16];
    uint32_t operation;
    uint8_t reserved36[4];
    uint32_t image;
    char devicePath[kDfuDevicePathSize];  // Latin-1, NUL-terminated
    uint8_t reserved304[4];
    uint8_t percent;  // 0..100
    uint8_t reserved309[28];
    uint32_t errorCode;  // kDfuSuccess while no error happened
    uint8_t reserved341[4];
};
#pragma pack(pop)

static_assert(sizeof(DfuOperationContext) == 345, "context must be 345 bytes");
static_assert(offsetof(DfuOperationContext, guid) == 0, "guid offset");
static_assert(offsetof(DfuOperationContext, operation) == 32, "operation offset");
static_assert(offsetof(DfuOperationContext, image) == 40, "image offset");
static_assert(offsetof(DfuOperationContext, devicePath) == 44, "device path offset");
static_assert(offsetof(DfuOperationContext, percent) == 308, "percent offset");
static_assert(offsetof(DfuOperationContext, errorCode) == 337, "error code offset");
