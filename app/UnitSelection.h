#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

// Which unit a command works on. The user narrows it with --port and --name; the first step of
// a run that finds the unit pins it by the port path it was found on, and every later step of
// the run (trigger, boot loader, leave, restore) goes to exactly that path, so that another
// unit on the same bench is never taken for it.
namespace unitflash {

struct UnitSelection {
    QString portText;             // --port as typed, for the messages that show it
    std::vector<uint8_t> port;    // --port parsed; empty for any port
    std::string deviceName;       // --name; empty for any name
    std::vector<uint8_t> pinned;  // where the unit was found; empty until then

    // Where the next step looks: the pinned path once there is one, else the user's port.
    const std::vector<uint8_t>& portFilter() const { return pinned.empty() ? port : pinned; }
};

}  // namespace unitflash
