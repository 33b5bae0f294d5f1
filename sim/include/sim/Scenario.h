#pragma once

#include <string>

namespace sim {

class Bus;

// Devices described in a JSON scenario file (format: sim/README.md).
class Scenario {
  public:
    // Plugs in the devices the file names. Throws std::runtime_error when the file is unusable.
    static void load(Bus& bus, const std::string& path);
    // Writes the state of the scenario's units to the state file it names, if any.
    static void saveState();
};

}  // namespace sim
