#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class Bus;

// Devices described in a JSON scenario file (format: sim/README.md).
class Scenario {
  public:
    // Plugs in the devices the file names. Throws std::runtime_error when the file is unusable.
    static void load(Bus& bus, const std::string& path);
    // Writes the state of the scenario's units to the state file it names, if any, when it
    // changed since the last write.
    static void saveState();
    // The scenario file in the folder `home`; writes the default one there when there is none
    // (a unit with firmware 1.0.0 at port 1.4 whose state lasts in state.json beside it).
    static std::string defaultIn(const std::string& home);
    // Where processes on the scenario record which of them has claimed an interface of the device
    // at that place: a file beside the state file; empty when there is no state file to share.
    static std::string claimFile(uint8_t busNumber, const std::vector<uint8_t>& portPath,
                                 int interfaceNumber);
};

}  // namespace sim
