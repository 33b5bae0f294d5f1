#include "DeviceList.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tarnlib/UsbTransportV2.h"

bool printDeviceList() {
    // Straight to standard output, not through the log: the user picks a --port value from it
    // at every verbosity.
    trn::UsbTransportV2 transport;
    const std::vector<usb::PortPath> places = transport.listDevices();
    std::fputs("Available devices:\n", stdout);
    for (const usb::PortPath& place : places) {
        std::string line = " Port path: " + place.text();
        // Two host controllers may each have a unit at the same port path: then the bus tells
        // them apart.
        const bool shared = std::count_if(places.begin(), places.end(), [&](const auto& other) {
                                return other.ports == place.ports;
                            }) > 1;
        if (shared) {
            line += " (bus " + std::to_string(place.bus) + ")";
        }
        line += '\n';
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
    std::fflush(stdout);
    return true;
}
