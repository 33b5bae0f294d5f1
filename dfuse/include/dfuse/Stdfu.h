#pragma once

#include <cstdint>

#include "dfuse/DfuProtocol.h"
#include "dfuse/DfuReturnCodes.h"

// Access to one DFU-mode interface. A device handle is an opaque non-zero number; 0 is never a
// valid handle. The path is one that dfuse::findDfuInterfaces gives, in any letter case.

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

// Releases the interface, closes the device and sets *handle to 0.
uint32_t STDFU_Close(uint32_t* handle);
