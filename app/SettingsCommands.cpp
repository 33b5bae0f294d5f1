#include "SettingsCommands.h"

#include <QDebug>
#include <QFileInfo>

#include "SettingsFile.h"
#include "UnitSelection.h"
#include "UnitSession.h"

namespace unitflash {

namespace {

// What both commands do first: check the port, say what they wait for, wait for the unit; then
// `work` on it.
template <typename Work>
bool withUnit(UnitSelection& selection, const char* waiting, const QString& fileName,
              bool logAttempts, const char* failure, Work work) {
    if (!parseSelectedPort(selection)) {
        return false;
    }
    qInfo() << waiting << fileName;
    UnitSession unit(selection);
    return unit.waitForUnit(logAttempts, failure) && work(unit);
}

}  // namespace

bool exportSettings(const QString& fileName, UnitSelection& selection) {
    if (QFileInfo::exists(fileName)) {
        qInfo() << "File already exists, overwriting\n" << fileName;
    }
    return withUnit(selection, "Waiting for device connection to export settings, to file:\n",
                    fileName, true, "Unable to connect to device for setting export! (port: %s)",
                    [&](UnitSession& unit) {
                        const std::string text = unit.model().exportJson(false);
                        if (text.empty()) {
                            qCritical("Unable to read any data from device");
                            return false;
                        }
                        if (!writeSettingsFile(fileName, text, kExportFile)) {
                            return false;
                        }
                        qDebug("Settings successfully exported");
                        return true;
                    });
}

bool importSettings(const QString& fileName, UnitSelection& selection) {
    if (!QFileInfo::exists(fileName)) {
        qCritical() << "Unable to import settings, file does not exist:\n" << fileName;
        return false;
    }
    return withUnit(selection, "Connecting to device to update settings, from file:\n", fileName,
                    false, "Unable to connect to device for setting import! (port: %s)",
                    [&](UnitSession& unit) {
                        const bool ok = unit.model().importJsonFile(fileName.toStdString());
                        return unit.storeImport(ok, false, QtInfoMsg, "Setting import successful!");
                    });
}

}  // namespace unitflash
