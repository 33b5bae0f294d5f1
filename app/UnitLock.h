#pragma once

#include <QString>

// Runs of this tool on one PC keep off each other's units. A run holds a lock file in the
// temporary folder for each place (bus and port path) where it reached a unit or its boot
// loader, from before it first talks to the device there until the run ends; a lock whose
// process has ended (a crash, a power loss) is taken over.
namespace unitflash {

// Makes the unit link and the boot-loader choice take a place's lock before they use a device
// there, and refuse a device at a place that another run holds.
void installUnitLocks();

// False, after saying so, when another run holds a place that `portText` (--port as typed; any
// place when empty) covers. A text that is no port path is left to the command to refuse.
bool noOtherRunOn(const QString& portText);

// Says that the `device` ("unit" or "boot loader") at `where` is in use by another program.
void reportInUse(const char* device, const QString& where);

}  // namespace unitflash
