#include "dfu/FindDfuDevices.h"

#include <QDebug>

#include <optional>
#include <string>
#include <vector>

#include "dfuse/DfuDiscovery.h"

QStringList findDfuDevices() {
    QStringList devices;
    std::vector<std::optional<std::string>> paths;
    if (dfuse::findDfuInterfaces(&paths) != kDfuSuccess) {
        qCritical("Invalid device-info handle");
        return devices;
    }
    for (const std::optional<std::string>& path : paths) {
        if (!path) {
            qWarning("DFU device with empty name");
            devices.append(QString());
            continue;
        }
        const QString upper = QString::fromUtf8(path->c_str()).toUpper();
        qDebug() << "Found DFU device:" << upper;
        devices.append(upper);
    }
    return devices;
}
