#pragma once

#include <cstdint>

#include "dfuse/DfuOperationContext.h"
#include "dfuse/DfuProtocol.h"
#include "dfuse/DfuReturnCodes.h"

// Lists every present DFU-mode interface (class 0xFE, subclass 1, protocol 2), ordered by bus
// number, port path and interface number: *count is how many there are, and the first
// `capacity` of them are written to `paths`, kDfuDevicePathSize bytes apart, each the
// NUL-terminated path that STDFU_Open and STDFUPRT_CreateMappingFromDevice take
// ("USB-BUS<bus>-PORT<a.b.c>-IF<interface>"), or an empty text for a device whose location
// cannot be read. kDfuErrorUsbInit when the USB library cannot start.
uint32_t STDFU_GetDevicePaths(char* paths, uint32_t capacity, uint32_t* count);

// Why the last function of this library that this thread called failed, in words, with the
// context of each layer in front ("erasing USB-BUS1-PORT1.4-IF0: erase of sector at 0x08004000
// failed: device reports dfuERROR / errERASE"); empty after a call that succeeded. After
// STDFUPRT_GetOperationStatus and STDFUPRT_StopOperation, why the operation failed when the
// context reports an error code. Valid until this thread's next call into the library.
const char* STDFU_GetLastErrorDetail();

// Access to one DFU-mode interface. A device handle is an opaque non-zero number; 0 is never a
// valid handle. The path is one that STDFU_GetDevicePaths gives, in any letter case.

uint32_t STDFU_Open(const char* path, uint32_t* handle);

// Selects configuration index `configuration` (0 is the first), claims interface
// `interfaceIndex` and sets its alternate setting `alternate`.
uint32_t STDFU_SelectCurrentConfiguration(uint32_t* handle, uint32_t configuration,
                                          uint32_t interfaceIndex, uint32_t alternate);

uint32_t STDFU_Getstatus(uint32_t* handle, DfuStatus* status);
uint32_t STDFU_Clrstatus(uint32_t* handle);
// Ends a download or upload that the device still holds open (dfuDNLOAD-IDLE, dfuUPLOAD-IDLE):
// the device returns to dfuIDLE.
uint32_t STDFU_Abort(uint32_t* handle);

// Brings the device to dfuIDLE from *status, the status STDFU_Getstatus gave last, in the one
// way every operation does (see DfuseSession::ensureIdle), and writes the final status there.
// kDfuErrorUnexpectedState for a device that does not get there.
uint32_t STDFU_BringToIdle(uint32_t* handle, DfuStatus* status);

// Releases the interface, closes the device and sets *handle to 0.
uint32_t STDFU_Close(uint32_t* handle);
