#include "DeviceList.h"

#include <cstdio>
#include <string>
#include <vector>

#include "tarnlib/UsbTransportV2.h"

bool printDeviceList() {
    // Straight to standard output, not through the log: the user picks a --port value from it
    // at every verbosity.
    trn::UsbTransportV2 transport;
    const std::vector<std::vector<uint8_t>> paths = transport.listDevices();
    std::fputs("Available devices:\n", stdout);
    for (const std::vector<uint8_t>& path : paths) {
        std::string line = " Port path: ";
        for (size_t i = 0; i < path.size(); ++i) {
            line += (i == 0 ? "" : ".") + std::to_string(path[i]);
        }
        line += '\n';
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
    std::fflush(stdout);
    return true;
}
