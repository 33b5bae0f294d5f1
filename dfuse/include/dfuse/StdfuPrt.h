#pragma once

#include <cstdint>

#include "dfuse/DfuOperationContext.h"
#include "dfuse/DfuReturnCodes.h"

// The memory map of a DFU device: one entry per alternate setting of its DFU interface. A
// mapping handle is an opaque non-zero number, like every other handle of the library.
using DfuMapping = uint32_t;

// Reads the memory-layout string of every alternate setting of the device at `path`.
uint32_t STDFUPRT_CreateMappingFromDevice(const char* path, DfuMapping* mapping,
                                          uint32_t* alternates);
// Frees a mapping and sets *mapping to 0.
uint32_t STDFUPRT_DestroyMapping(DfuMapping* mapping);

// The memory of one alternate setting in a mapping. Both give kDfuErrorImageOutsideMemory for
// an alternate setting the device lacks.
// Its name ("Internal Flash"), NUL-terminated, cut to fit `size` bytes.
uint32_t STDFUPRT_GetMemoryName(DfuMapping mapping, uint32_t alternate, char* name, uint32_t size);
// Whether [address, address + size) lies in its writable sectors: kDfuSuccess when it does;
// kDfuErrorImageOutsideMemory when not, with *outside the first address that does not.
uint32_t STDFUPRT_CheckWritable(DfuMapping mapping, uint32_t alternate, uint32_t address,
                                uint32_t size, uint32_t* outside);

// Starts the operation the context describes (kDfuOperationErase, kDfuOperationUpgrade,
// kDfuOperationCompare or kDfuOperationLeave) on the device at context->devicePath with the image
// context->image, and returns at once with an operation handle. The image is copied, so it may
// be destroyed while the operation runs. Erase, upgrade and compare run on a worker thread; leave
// is short and has run to its end when this returns. A failed start is reported by the return
// code.
//
// A compare reads back every sector the image's data touches (they must be readable and
// erasable), stopping at a sector's first block that differs from what an erase and an upgrade
// with the image would leave there: its data, 0xFF where it has none. When it has ended well, its
// stop fits context->image itself (the caller leaves that image alone until then) to the sectors
// that differ, each whole, as it is to end up. Erasing a copy of it fitted to erasing and
// upgrading with it then leaves the flash as the whole image would, sending no block of only
// 0xFF (which the erase left) and reading back the blocks sent. kDfuErrorNoUpload for a device
// that cannot read its memory back; kDfuErrorReadProtected for a read-protected chip.
uint32_t STDFUPRT_LaunchOperation(DfuOperationContext* context, uint32_t* operation);

// Copies the operation's progress (percent) and error code into the context. A leave has ended
// when its launch returns, so the query that reads its outcome also frees its handle.
uint32_t STDFUPRT_GetOperationStatus(uint32_t operation, DfuOperationContext* context);

// Waits up to `ms` milliseconds for the operation to end (at once when it has ended already), so
// that a caller polling its status notices the end without waiting out its poll interval.
// Returns kDfuSuccess whether or not it ended; the status query tells the outcome.
uint32_t STDFUPRT_WaitForOperation(uint32_t operation, uint32_t ms);

// Ends the operation (asking it to stop if it still runs), waits for it, writes its final
// progress and error code into the context and frees the handle. Returns kDfuSuccess when the
// operation completed or ended on this request, and its error code when it failed by itself.
uint32_t STDFUPRT_StopOperation(uint32_t operation, DfuOperationContext* context);
