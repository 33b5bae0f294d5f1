#include <QDebug>
#include <QFileInfo>

#include <exception>
#include <optional>

#include "Commands.h"
#include "SettingsFile.h"
#include "UnitSession.h"
#include "dfu/FirmwareUpdate.h"
#include "dfu/ReturnToNormalOperation.h"
#include "platform/Platform.h"

namespace {

bool acceptFirmwareFile(const QString& firmwareFile) {
    const QFileInfo info(firmwareFile);
    if (info.suffix() != "dfu") {
        qWarning() << "Need a *.dfu file for firmware updates, but got: " << info.fileName();
    } else if (!info.isReadable()) {
        qWarning() << "Can not read dfu file for firmware update: " << info.fileName();
    } else if (checkFirmwareFile(firmwareFile)) {
        // A file that cannot be programmed is refused before the unit leaves normal operation.
        return true;
    }
    qCritical("Unable to perform update, invalid dfu file");
    return false;
}

bool writeBackup(UnitSession& unit, const QString& portText) {
    if (!unit.waitForUnit(true, "Unable to connect to device for setting backup! (port: %s)",
                          portText)) {
        return false;
    }
    const std::string text = unit.model().exportJson(false);
    if (text.empty()) {
        qCritical("Unable to read any data from device for setting backup");
        return false;
    }
    if (!writeSettingsFile(backupFileName(unit.model()), text,
                           "Unable to open file for setting backup:")) {
        return false;
    }
    qDebug("Settings successfully backed up");
    return true;
}

bool backUpSettings(const QString& portText, const std::string& deviceName) {
    const std::vector<uint8_t> port = parsePortPath(portText);
    qInfo("Waiting for device connection to backup settings");
    UnitSession unit(port, deviceName);
    if (writeBackup(unit, portText)) {
        return true;
    }
    qCritical("Unable to backup device settings, aborting!");
    return false;
}

// The settings read just before the boot loader is triggered, and the name a backup of them
// would get, for the case that they cannot be written back.
struct KeptSettings {
    std::string text;
    QString rescueFileName;
};

KeptSettings triggerBootloader(const QString& portText, const std::string& deviceName) {
    UnitSession unit(parsePortPath(portText), deviceName);
    trn::SettingsModel& model = unit.model();
    KeptSettings kept;
    if (model.load()) {
        kept.text = model.exportJson(false);
        kept.rescueFileName = backupFileName(model);
        model.setValue("trigger bootloader", 1, 0);
        model.writeChanged();
    } else if (!portText.isEmpty()) {
        qCritical("Unable to put desired device in update mode (port: %s)",
                  qUtf8Printable(portText));
        printDeviceList();
        return kept;
    }
    qInfo("Waiting for device to enter update mode...");
    platform::sleepMs(500);
    return kept;
}

bool restoreSettings(const std::string& text, const QString& portText,
                     const std::string& deviceName) {
    const std::vector<uint8_t> port = parsePortPath(portText);
    qInfo("Waiting for device restart to import old settings...");
    UnitSession unit(port, deviceName);
    if (!unit.waitForUnit(false, "Unable to connect to device for setting import! (port: %s)",
                          portText)) {
        return false;
    }
    const bool ok = unit.model().importJson(text);
    unit.storeChanges();
    if (ok) {
        qDebug("Settings successfully imported");
    } else {
        qCritical("Importing settings failed!");
    }
    return ok;
}

// Settings that exist only in memory are lost when the process ends; save them where the
// user can import them from.
void rescueSettings(const KeptSettings& kept) {
    if (writeSettingsFile(kept.rescueFileName, kept.text,
                          "Unable to open file for setting backup:")) {
        qCritical() << "The settings read before the update were saved to" << kept.rescueFileName
                    << "- restore them with --import";
    }
}

}  // namespace

bool runUpdate(const QString& firmwareFile, bool discardSettings, bool noBackup,
               const QString& portText, const std::string& deviceName) {
    if (!acceptFirmwareFile(firmwareFile)) {
        return false;
    }
    const bool skipBackup = noBackup || discardSettings;
    if (!skipBackup && !backUpSettings(portText, deviceName)) {
        return false;
    }

    const KeptSettings kept = triggerBootloader(portText, deviceName);
    if (!discardSettings && kept.text.empty()) {
        qCritical(
            "Aborting update (unable to export settings before update): specify "
            "\"--discard-settings\" to update regardless");
        returnToNormalOperation();
        return false;
    }

    // From here on the kept settings are the only copy unless a backup file was written.
    const bool mustRescue = !discardSettings && skipBackup;
    bool ok = false;
    try {
        if (!updateFirmware(firmwareFile)) {
            qCritical("Firmware update failed!");
        } else if (discardSettings) {
            return true;
        } else {
            ok = restoreSettings(kept.text, portText, deviceName);
        }
    } catch (const std::exception& e) {
        qCritical("%s", e.what());
    }
    if (!ok && mustRescue) {
        rescueSettings(kept);
    }
    return ok;
}
