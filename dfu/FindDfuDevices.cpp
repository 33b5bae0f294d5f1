#include "dfu/FindDfuDevices.h"

#include <QDebug>

#include <algorithm>
#include <optional>
#include <string>

#include "DfuFailure.h"
#include "dfuse/DfuDiscovery.h"
#include "dfuse/DfuReturnCodes.h"
#include "dfuse/Stdfu.h"

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

QStringList findDfuDevices() {
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
        qDebug() << "Found DFU device:" << upper;
        devices.append(upper);
    }
    return devices;
}

QString portPathString(const std::vector<uint8_t>& port) {
    QStringList numbers;
    for (const uint8_t number : port) {
        numbers << QString::number(number);
    }
    return numbers.join('.');
}

std::vector<uint8_t> dfuDevicePort(const QString& devicePath) {
    return dfuse::devicePortPath(devicePath.toStdString()).value_or(std::vector<uint8_t>{});
}

namespace {

bool isOnPort(const QString& devicePath, const std::vector<uint8_t>& port) {
    const std::vector<uint8_t> at = dfuDevicePort(devicePath);
    return !at.empty() && at.size() >= port.size() &&
           std::equal(port.begin(), port.end(), at.begin());
}

}  // namespace

std::optional<QString> firstDfuDeviceOn(const QStringList& devices,
                                        const std::vector<uint8_t>& port) {
    for (const QString& device : devices) {
        if (port.empty() || isOnPort(device, port)) {
            return device;
        }
    }
    return std::nullopt;
}

std::optional<QString> pickDfuDevice(const QStringList& devices, const std::vector<uint8_t>& port,
                                     const char* noneMessage) {
    std::optional<QString> device = firstDfuDeviceOn(devices, port);
    if (!device) {
        qCritical("%s", noneMessage);
        if (!port.empty()) {
            QStringList elsewhere;
            for (const QString& other : devices) {
                elsewhere << portPathString(dfuDevicePort(other));
            }
            qCritical("No DFU device on port path %s (DFU devices present on: %s)",
                      qUtf8Printable(portPathString(port)),
                      elsewhere.isEmpty() ? "none" : qUtf8Printable(elsewhere.join(", ")));
        }
    } else if (port.empty() && devices.size() > 1) {
        qWarning(
            "%lld devices are in DFU mode; using the one on port path %s (choose another "
            "with --port)",
            static_cast<long long>(devices.size()),
            qUtf8Printable(portPathString(dfuDevicePort(*device))));
    }
    return device;
}
