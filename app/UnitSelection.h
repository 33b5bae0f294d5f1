#pragma once

#include <QString>

#include <string>

#include "usb/PortPath.h"

// Which unit a command works on. The user narrows it with --port and --name; the first step of
// a run that finds the unit pins it by the bus and port path it was found on, and every later
// step of the run (trigger, boot loader, leave, restore) goes to exactly that place, so that
// another unit on the same bench, or on another bus at the same port path, is never taken for it.
namespace unitflash {

struct UnitSelection {
    QString portText;        // --port as typed
    usb::PortPath port;      // --port parsed; any place without it
    std::string deviceName;  // --name; empty for any name
    usb::PortPath pinned;    // where the unit was found; any place until then
    // The port path alone does not tell the unit apart (another unit shares it on another
    // bus), so messages and printed commands name the bus too.
    bool busMatters = false;

    // Where the next step looks: the pinned place once there is one, else the user's port.
    const usb::PortPath& portFilter() const { return pinned.isAny() ? port : pinned; }
    // That place as the user would type it for --port ("1.4", or "2-1.4" when the bus
    // matters); "any" for no restriction.
    QString placeText() const;
};

// Parses the typed --port into the selection; false, after saying so, when the text is no port
// path, so that a typo never widens a command to any unit.
bool parseSelectedPort(UnitSelection& selection);

// A place in messages: its port path, and its bus when `withBus`.
QString placeText(const usb::PortPath& place, bool withBus);

}  // namespace unitflash
