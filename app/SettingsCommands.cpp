#include "SettingsCommands.h"

#include <QDebug>
#include <QFileInfo>

#include "PortPath.h"
#include "SettingsFile.h"
#include "UnitSession.h"

using unitflash::UnitSelection;
using unitflash::UnitSession;

bool exportSettings(const QString& fileName, UnitSelection& selection) {
    if (QFileInfo::exists(fileName)) {
        qInfo() << "File already exists, overwriting\n" << fileName;
    }
    if (!unitflash::parseSelectedPort(selection)) {
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
    if (!unitflash::writeSettingsFile(fileName, text, "Unable to open file for export:")) {
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
    if (!unitflash::parseSelectedPort(selection)) {
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
