#pragma once

#include <QStringList>

#include <functional>
#include <optional>

#include "usb/PortPath.h"

namespace dfu {

// The paths of all present DFU-mode interfaces, upper-cased, in a stable order; an empty entry
// stands for an interface whose path could not be read. Never fails as a whole: a failure gives
// an empty list or an empty entry, plus a log message. Each device found is logged once per
// `logged` list (a search that looks again and again names a device only the first time).
QStringList findDfuDevices(QStringList* logged = nullptr);

// The bus and port path a device path of findDfuDevices names; none when it names none.
usb::PortPath dfuDevicePort(const QString& devicePath);

// The first entry of `devices` on `port` or below it; the first of all for any port.
std::optional<QString> firstDfuDeviceOn(const QStringList& devices, const usb::PortPath& port);

// Picks the device a command acts on from the discovery list: the first entry on `port` or
// below it, or the first entry of all for an empty port. When there is none, logs
// `noneMessage` at critical level (for a port, with where DFU devices are instead) and gives
// nothing; nothing either when the place check refuses the device. Warns when the choice was
// not the user's and there were others to choose.
std::optional<QString> pickDfuDevice(const QStringList& devices, const usb::PortPath& port,
                                     const char* noneMessage);

// Asked, for the process, whether the device picked at a place may be used; a refusal says why
// itself. None by default.
void setDfuPlaceCheck(std::function<bool(const usb::PortPath&)> check);

}  // namespace dfu
