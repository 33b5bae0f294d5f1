#pragma once

#include "sim/Bus.h"

// Interface claims as the Linux kernel keeps them: an interface has one holder at a time (a
// usbfs file; here a libusb handle), another one's claim fails with LIBUSB_ERROR_BUSY, and so
// does a change of configuration while any interface is claimed. The attachment records the
// handle that holds a claim. Processes on one scenario with a state file share its devices, so
// a claim file beside the state file also names the process that holds the claim; the claim of
// a process that has ended counts for nothing, as the kernel drops it when the process's files
// close.
namespace sim {

// LIBUSB_SUCCESS, or LIBUSB_ERROR_BUSY when another handle or process holds the interface.
int claimInterface(Attachment& attachment, const void* handle, int interfaceNumber);
void releaseInterface(Attachment& attachment, int interfaceNumber);
// A device that leaves the bus takes every claim of it along.
void releaseClaims(Attachment& attachment);
// Whether any handle or process holds an interface of the device.
bool anyInterfaceClaimed(const Attachment& attachment);

}  // namespace sim
