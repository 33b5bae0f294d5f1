#include <QDebug>
#include <QFileInfo>

#include "Commands.h"
#include "SettingsFile.h"
#include "UnitSession.h"
#include "platform/Interrupt.h"
#include "platform/Platform.h"

bool connectWithRetry(trn::SettingsModel& model, bool logAttempts) {
    for (int attempt = 0; attempt < 200 && !platform::interruptRequested; ++attempt) {
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

bool exportSettings(const QString& fileName, UnitSelection& selection) {
    if (QFileInfo::exists(fileName)) {
        qInfo() << "File already exists, overwriting\n" << fileName;
    }
    if (!parseSelectedPort(selection)) {
        return false;
    }
    qInfo() << "Waiting for device connection to export settings, to file:\n" << fileName;

    UnitSession unit(selection);
    if (!unit.waitForUnit(true, "Unable to connect to device for setting export! (port: %s)")) {
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

bool importSettings(const QString& fileName, UnitSelection& selection) {
    if (!QFileInfo::exists(fileName)) {
        qCritical() << "Unable to import settings, file does not exist:\n" << fileName;
        return false;
    }
    if (!parseSelectedPort(selection)) {
        return false;
    }
    qInfo() << "Connecting to device to update settings, from file:\n" << fileName;

    UnitSession unit(selection);
    if (!unit.waitForUnit(false, "Unable to connect to device for setting import! (port: %s)")) {
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
