#pragma once

#include <cstdint>
#include <string>

// Every dfuse function returns one of these 32-bit codes. kDfuSuccess is the only success; the
// failures share its upper half so that a code printed in hexadecimal is recognisable.
inline constexpr uint32_t kDfuSuccess = 0x12340000;

enum DfuReturnCode : uint32_t {
    kDfuErrorInvalidArgument = 0x12340001,
    kDfuErrorBadHandle = 0x12340002,
    kDfuErrorUsbInit = 0x12340003,
    kDfuErrorBadDevicePath = 0x12340004,
    kDfuErrorDeviceNotFound = 0x12340005,
    kDfuErrorNotDfuInterface = 0x12340006,
    kDfuErrorOpenDevice = 0x12340007,
    kDfuErrorUsbTransfer = 0x12340008,
    kDfuErrorDeviceGone = 0x12340009,
    kDfuErrorTimeout = 0x1234000A,
    kDfuErrorRequestStalled = 0x1234000B,
    kDfuErrorBadDescriptor = 0x1234000C,
    kDfuErrorBadMemoryLayout = 0x1234000D,
    kDfuErrorFileOpen = 0x1234000E,
    kDfuErrorFileTruncated = 0x1234000F,
    kDfuErrorFilePrefix = 0x12340010,
    kDfuErrorFileSize = 0x12340011,
    kDfuErrorFileTarget = 0x12340012,
    kDfuErrorFileElement = 0x12340013,
    kDfuErrorFileSuffix = 0x12340014,
    kDfuErrorFileCrc = 0x12340015,
    kDfuErrorNoSuchImage = 0x12340016,
    kDfuErrorBadContext = 0x12340017,
    kDfuErrorBadOperation = 0x12340018,
    kDfuErrorImageOutsideMemory = 0x12340019,
    kDfuErrorUnexpectedState = 0x1234001A,
    kDfuErrorDeviceTarget = 0x1234001B,
    kDfuErrorDeviceErase = 0x1234001C,
    kDfuErrorDeviceWrite = 0x1234001D,
    kDfuErrorDeviceVerify = 0x1234001E,
    kDfuErrorDeviceAddress = 0x1234001F,
    kDfuErrorReadProtected = 0x12340020,
    kDfuErrorDeviceStatus = 0x12340021,
    kDfuErrorVerifyMismatch = 0x12340022,
    kDfuErrorOperationStopped = 0x12340023,
    kDfuErrorDeviceBusy = 0x12340024,
    kDfuErrorNoUpload = 0x12340025,
};

struct DfuReturnCodeName {
    uint32_t code;
    const char* name;
};

inline constexpr DfuReturnCodeName kDfuReturnCodeNames[] = {
    {kDfuSuccess, "success"},
    {kDfuErrorInvalidArgument, "invalid argument"},
    {kDfuErrorBadHandle, "unknown or closed handle"},
    {kDfuErrorUsbInit, "USB library could not be initialised"},
    {kDfuErrorBadDevicePath, "malformed device path"},
    {kDfuErrorDeviceNotFound, "no device at this path"},
    {kDfuErrorNotDfuInterface, "interface is not in DFU mode"},
    {kDfuErrorOpenDevice, "device could not be opened"},
    {kDfuErrorUsbTransfer, "USB transfer failed"},
    {kDfuErrorDeviceGone, "device disconnected"},
    {kDfuErrorTimeout, "device did not answer in time"},
    {kDfuErrorRequestStalled, "device refused the request"},
    {kDfuErrorBadDescriptor, "missing or malformed DFU descriptor"},
    {kDfuErrorBadMemoryLayout, "malformed memory layout string"},
    {kDfuErrorFileOpen, "file could not be opened or read"},
    {kDfuErrorFileTruncated, "file is truncated"},
    {kDfuErrorFilePrefix, "file prefix is not DfuSe version 1"},
    {kDfuErrorFileSize, "file size does not match its prefix"},
    {kDfuErrorFileTarget, "malformed target in file"},
    {kDfuErrorFileElement, "malformed element in file"},
    {kDfuErrorFileSuffix, "malformed file suffix"},
    {kDfuErrorFileCrc, "file CRC mismatch"},
    {kDfuErrorNoSuchImage, "no image with this index"},
    {kDfuErrorBadContext, "malformed operation context"},
    {kDfuErrorBadOperation, "unknown operation code"},
    {kDfuErrorImageOutsideMemory, "image data outside the device memory"},
    {kDfuErrorUnexpectedState, "device in an unexpected DFU state"},
    {kDfuErrorDeviceTarget, "the device refuses the target (file not for this device)"},
    {kDfuErrorDeviceErase, "erase failed on the device"},
    {kDfuErrorDeviceWrite, "write failed on the device"},
    {kDfuErrorDeviceVerify, "the device found written data differing"},
    {kDfuErrorDeviceAddress, "the device refuses the address"},
    {kDfuErrorReadProtected, "the chip is read-protected"},
    {kDfuErrorDeviceStatus, "device reported an error status"},
    {kDfuErrorVerifyMismatch, "memory read back differs from the image"},
    {kDfuErrorOperationStopped, "operation stopped before completion"},
    {kDfuErrorDeviceBusy, "device in use by another program"},
    {kDfuErrorNoUpload, "the device offers no upload to read its memory"},
};

// The name of a code from the table above; "unknown code" for any other value.
const char* dfuReturnCodeName(uint32_t code);
