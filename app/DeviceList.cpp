#include "DeviceList.h"

#include <QDebug>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "SettingsFile.h"
#include "dfu/FindDfuDevices.h"
#include "tarnlib/SettingsModel.h"
#include "tarnlib/UsbTransportV2.h"

namespace unitflash {

namespace {

// A place as the listing names it: its port path, and its bus when another place in the list
// has the same port path on another host controller.
std::string listedPlace(const std::vector<usb::PortPath>& places, const usb::PortPath& place) {
    const bool shared = std::count_if(places.begin(), places.end(), [&](const auto& other) {
                            return other.ports == place.ports;
                        }) > 1;
    return shared ? place.text() + " (bus " + std::to_string(place.bus) + ")" : place.text();
}

// What tells one listed unit from another beyond its place: its names and the firmware it runs,
// read from the unit itself.
void describeUnit(const usb::PortPath& place, const std::string& where) {
    trn::UsbTransportV2 transport;
    transport.setPortFilter(place);
    trn::SettingsModel model(transport);
    try {
        const std::string product = transport.productNameAt(place);
        const std::string serial = transport.serialNumberAt(place);
        const std::string firmware = model.load()
                                         ? model.valueText(kFirmwareVersionSetting, "unknown")
                                         : "unreadable (" + model.lastLoadFailure() + ")";
        qDebug("Port path %s: product \"%s\", serial number \"%s\", firmware %s", where.c_str(),
               product.c_str(), serial.c_str(), firmware.c_str());
    } catch (const std::exception& e) {
        qDebug("Port path %s: cannot be read (%s)", where.c_str(), e.what());
    }
}

// Units that sit in their boot loader are no units to the listing above, yet the place of one
// is what a recovery after a failed update needs.
void describeBootloaders() {
    std::vector<usb::PortPath> loaders;
    for (const QString& loader : dfu::findDfuDevices()) {
        // One whose place could not be read has been warned about already.
        if (!dfu::dfuDevicePort(loader).isAny()) {
            loaders.push_back(dfu::dfuDevicePort(loader));
        }
    }
    for (const usb::PortPath& place : loaders) {
        qDebug("Boot loader (DFU mode) on port path %s", listedPlace(loaders, place).c_str());
    }
    if (loaders.empty()) {
        qDebug("No boot loader (DFU mode) attached");
    }
}

}  // namespace

bool printDeviceList(bool describe, bool mentionAll) {
    // Straight to standard output, not through the log: the user picks a --port value from it
    // at every verbosity.
    trn::UsbTransportV2 transport;
    const std::vector<usb::PortPath> places = transport.listDevices();
    std::fputs("Available devices:\n", stdout);
    for (const usb::PortPath& place : places) {
        const std::string where = listedPlace(places, place);
        std::fputs((" Port path: " + where + '\n').c_str(), stdout);
        std::fflush(stdout);
        if (describe) {
            describeUnit(place, where);
        }
    }
    if (mentionAll && places.size() > 1) {
        std::fputs("Several units: an update with --all updates them all at once\n", stdout);
    }
    std::fflush(stdout);
    if (describe) {
        describeBootloaders();
    }
    return true;
}

}  // namespace unitflash
