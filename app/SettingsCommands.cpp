#include <QDebug>
#include <QFileInfo>

#include "Commands.h"
#include "SettingsFile.h"
#include "UnitSession.h"
#include "platform/Platform.h"

bool connectWithRetry(trn::SettingsModel& model, bool logAttempts) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (logAttempts) {
            qDebug("trying to connect (retries: %i)", attempt);
        }
        platform::sleepMs(100);
        if (model.load()) {
            return true;
        }
    }
    return false;
}

bool exportSettings(const QString& fileName, const QString& portText,
                    const std::string& deviceName) {
    if (QFileInfo::exists(fileName)) {
        qInfo() << "File already exists, overwriting\n" << fileName;
    }
    const std::vector<uint8_t> port = parsePortPath(portText);
    qInfo() << "Waiting for device connection to export settings, to file:\n" << fileName;

    UnitSession unit(port, deviceName);
    if (!unit.waitForUnit(true, "Unable to connect to device for setting export! (port: %s)",
                          portText)) {
        return false;
    }
    const std::string text = unit.model().exportJson(false);
    if (text.empty()) {
        qCritical("Unable to read any data from device");
        return false;
    }
    if (!writeSettingsFile(fileName, text, "Unable to open file for export:")) {
        return false;
    }
    qDebug("Settings successfully exported");
    return true;
}

bool importSettings(const QString& fileName, const QString& portText,
                    const std::string& deviceName) {
    if (!QFileInfo::exists(fileName)) {
        qCritical() << "Unable to import settings, file does not exist:\n" << fileName;
        return false;
    }
    const std::vector<uint8_t> port = parsePortPath(portText);
    qInfo() << "Connecting to device to update settings, from file:\n" << fileName;

    UnitSession unit(port, deviceName);
    if (!unit.waitForUnit(false, "Unable to connect to device for setting import! (port: %s)",
                          portText)) {
        return false;
    }
    const bool ok = unit.model().importJsonFile(fileName.toStdString());
    // What the import applied before a failing member is sent and stored all the same.
    unit.storeChanges();
    if (ok) {
        qInfo("Setting import successful!");
    } else {
        qCritical("Importing settings failed!");
    }
    return ok;
}
