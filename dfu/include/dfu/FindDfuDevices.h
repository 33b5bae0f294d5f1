#pragma once

#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

// The paths of all present DFU-mode interfaces, upper-cased, in a stable order; an empty entry
// stands for an interface whose path could not be read. Never fails as a whole: a failure gives
// an empty list or an empty entry, plus a log message.
QStringList findDfuDevices();

// A port path in its text form, "1.4".
QString portPathString(const std::vector<uint8_t>& port);

// The port path a device path of findDfuDevices names; empty when it names none.
std::vector<uint8_t> dfuDevicePort(const QString& devicePath);

// The first entry of `devices` on `port` or below it; the first of all for an empty port.
std::optional<QString> firstDfuDeviceOn(const QStringList& devices,
                                        const std::vector<uint8_t>& port);

// Picks the device a command acts on from the discovery list: the first entry on `port` or
// below it, or the first entry of all for an empty port. When there is none, logs
// `noneMessage` at critical level (for a port, with where DFU devices are instead) and gives
// nothing. Warns when the choice was not the user's and there were others to choose.
std::optional<QString> pickDfuDevice(const QStringList& devices, const std::vector<uint8_t>& port,
                                     const char* noneMessage);
