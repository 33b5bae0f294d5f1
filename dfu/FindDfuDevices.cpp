#include "dfu/FindDfuDevices.h"

#include <QDebug>

#include <optional>
#include <string>

#include "DfuFailure.h"
#include "dfuse/DfuDiscovery.h"
#include "dfuse/DfuReturnCodes.h"
#include "dfuse/Stdfu.h"

namespace dfu {

namespace {

// The paths of the DFU interfaces present, as many as there are.
std::optional<std::vector<std::string>> devicePaths() {
    // Room for a bench full of units; more are asked for again.
    std::vector<char> buffer(size_t(8) * kDfuDevicePathSize);
    for (;;) {
        const uint32_t capacity = uint32_t(buffer.size() / kDfuDevicePathSize);
        uint32_t count = 0;
        if (dfuFailed(STDFU_GetDevicePaths(buffer.data(), capacity, &count),
                      "Invalid device-info handle")) {
            return std::nullopt;
        }
        // Asked again with room for all: devices may come and go between two calls.
        if (count <= capacity) {
            std::vector<std::string> paths;
            for (uint32_t i = 0; i < count; ++i) {
                paths.emplace_back(buffer.data() + size_t(i) * kDfuDevicePathSize);
            }
            return paths;
        }
        buffer.assign(size_t(count) * kDfuDevicePathSize, '\0');
    }
}

}  // namespace

QStringList findDfuDevices(QStringList* logged) {
    QStringList devices;
    const std::optional<std::vector<std::string>> paths = devicePaths();
    if (!paths) {
        return devices;
    }
    for (const std::string& path : *paths) {
        if (path.empty()) {
            qWarning("DFU device with empty name");
            devices.append(QString());
            continue;
        }
        const QString upper = QString::fromStdString(path).toUpper();
        if (!logged || !logged->contains(upper)) {
            qDebug() << "Found DFU device:" << upper;
            if (logged) {
                logged->append(upper);
            }
        }
        devices.append(upper);
    }
    return devices;
}

usb::PortPath dfuDevicePort(const QString& devicePath) {
    return dfuse::devicePortPath(devicePath.toStdString()).value_or(usb::PortPath{});
}

namespace {

bool isOnPort(const QString& devicePath, const usb::PortPath& port) {
    const usb::PortPath at = dfuDevicePort(devicePath);
    return !at.ports.empty() && port.covers(at);
}

std::function<bool(const usb::PortPath&)>& placeCheck() {
    static std::function<bool(const usb::PortPath&)> check;
    return check;
}

// How a place is named in messages: with its bus when the user's choice names one.
QString placeText(const usb::PortPath& place, const usb::PortPath& chosen) {
    return QString::fromStdString(chosen.bus != 0 ? place.textWithBus() : place.text());
}

}  // namespace

std::optional<QString> firstDfuDeviceOn(const QStringList& devices, const usb::PortPath& port) {
    for (const QString& device : devices) {
        if (port.isAny() || isOnPort(device, port)) {
            return device;
        }
    }
    return std::nullopt;
}

std::optional<QString> pickDfuDevice(const QStringList& devices, const usb::PortPath& port,
                                     const char* noneMessage) {
    std::optional<QString> device = firstDfuDeviceOn(devices, port);
    if (device && placeCheck() && !placeCheck()(dfuDevicePort(*device))) {
        return std::nullopt;
    }
    if (!device) {
        qCritical("%s", noneMessage);
        if (!port.isAny()) {
            QStringList elsewhere;
            for (const QString& other : devices) {
                elsewhere << placeText(dfuDevicePort(other), port);
            }
            qCritical("No DFU device on port path %s (DFU devices present on: %s)",
                      qUtf8Printable(placeText(port, port)),
                      elsewhere.isEmpty() ? "none" : qUtf8Printable(elsewhere.join(", ")));
        }
    } else if (port.isAny() && devices.size() > 1) {
        qWarning(
            "%lld devices are in DFU mode; using the one on port path %s (choose another "
            "with --port)",
            static_cast<long long>(devices.size()),
            qUtf8Printable(placeText(dfuDevicePort(*device), port)));
    }
    return device;
}

void setDfuPlaceCheck(std::function<bool(const usb::PortPath&)> check) {
    placeCheck() = std::move(check);
}

}  // namespace dfu
