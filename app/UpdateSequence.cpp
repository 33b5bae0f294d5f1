#include "UpdateSequence.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <exception>

#include "DeviceList.h"
#include "SettingsFile.h"
#include "UnitSession.h"
#include "dfu/FindDfuDevices.h"
#include "dfu/FirmwareUpdate.h"
#include "dfu/ReturnToNormalOperation.h"
#include "platform/Interrupt.h"
#include "platform/Platform.h"

namespace unitflash {

namespace {

bool interrupted() {
    return platform::interruptRequested;
}

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

// Writes the backup file; its name, or an empty text when there is none.
QString writeBackup(UnitSession& unit) {
    if (!unit.waitForUnit(true, "Unable to connect to device for setting backup! (port: %s)")) {
        return QString();
    }
    const std::string text = unit.model().exportJson(false);
    if (text.empty()) {
        qCritical("Unable to read any data from device for setting backup");
        return QString();
    }
    QString name = backupFileName(unit.model());
    if (!writeSettingsFile(name, text, kBackupFile)) {
        return QString();
    }
    qDebug("Settings successfully backed up");
    return name;
}

QString backUpSettings(UnitSelection& selection) {
    qInfo("Waiting for device connection to backup settings");
    UnitSession unit(selection);
    QString name = writeBackup(unit);
    if (name.isEmpty() && !interrupted()) {
        qCritical("Unable to backup device settings, aborting!");
    }
    return name;
}

// The settings read just before the boot loader is triggered, the name a backup of them gets,
// and the file that holds them once there is one; `stop` when the update must end there. The
// firmware versions the unit reported before and after the update, where it was read.
struct KeptSettings {
    std::string text;
    QString rescueFileName;
    QString savedIn;
    bool stop = false;
    std::string firmwareBefore;
    std::string firmwareAfter;
};

// A unit already in its boot loader at the chosen place (as after a failed update) is pinned
// there, so that the update programs that one and no other. Without a chosen place the boot
// loader search picks one and says so.
void pinBootloader(UnitSelection& selection) {
    if (selection.portFilter().isAny()) {
        return;
    }
    QStringList logged;
    const std::optional<QString> loader =
        firstDfuDeviceOn(findDfuDevices(&logged), selection.portFilter());
    if (!loader) {
        return;
    }
    selection.pinned = dfuDevicePort(*loader);
    qInfo("The unit on port path %s is already in its boot loader and will be programmed",
          qUtf8Printable(selection.placeText()));
}

KeptSettings triggerBootloader(UnitSelection& selection) {
    UnitSession unit(selection);
    trn::SettingsModel& model = unit.model();
    KeptSettings kept;
    if (unit.loadOnce()) {
        kept.text = model.exportJson(false);
        kept.rescueFileName = backupFileName(model);
        kept.firmwareBefore = model.valueText(kFirmwareVersionSetting, "");
        // An interrupt during the read leaves the unit as it was.
        if (interrupted()) {
            kept.stop = true;
            return kept;
        }
        model.setValue("trigger bootloader", 1, 0);
        model.writeChanged();
    } else if (unit.reportUnopenable() || interrupted()) {
        // A unit we may not open is never swapped for another boot loader on the bench.
        kept.stop = true;
        return kept;
    } else if (!selection.portText.isEmpty()) {
        qCritical("Unable to put desired device in update mode (port: %s)",
                  qUtf8Printable(selection.portText));
        printDeviceList();
        // The boot loader there is programmed as it is: nothing was triggered, nothing to wait for.
        pinBootloader(selection);
        return kept;
    }
    qInfo("Waiting for device to enter update mode...");
    platform::sleepMs(500);
    return kept;
}

// The steps before the firmware is touched: the backup, the last read of the settings and the
// trigger. False, after saying why, when the update ends there.
bool leaveNormalOperation(SettingsHandling settings, UnitSelection& selection, KeptSettings& kept) {
    QString backupFile;
    if (settings == SettingsHandling::kBackUpAndRestore) {
        backupFile = backUpSettings(selection);
        if (backupFile.isEmpty() && !interrupted()) {
            return false;
        }
    }
    kept.stop = true;
    if (!interrupted()) {
        kept = triggerBootloader(selection);
        kept.savedIn = backupFile;
    }
    if (kept.stop) {
        if (interrupted()) {
            qCritical(
                "Update interrupted before the unit was changed: its firmware and settings are "
                "as they were");
        }
        return false;
    }
    if (settings != SettingsHandling::kDiscard && kept.text.empty()) {
        qCritical(
            "Aborting update (unable to export settings before update): specify "
            "\"--discard-settings\" to update regardless");
        returnToNormalOperation(selection.portFilter());
        return false;
    }
    return true;
}

bool restoreSettings(KeptSettings& kept, UnitSelection& selection, bool& cameBack) {
    qInfo("Waiting for device restart to import old settings...");
    UnitSession unit(selection);
    if (!unit.waitForUnit(false, "Unable to connect to device for setting import! (port: %s)")) {
        // A unit that is there but cannot be read (or an interrupt) did come back.
        cameBack = unit.unitPresent();
        return false;
    }
    // Read before the import, which would set the old value in the model.
    kept.firmwareAfter = unit.model().valueText(kFirmwareVersionSetting, "");
    const bool ok = unit.model().importJson(kept.text);
    return unit.storeImport(ok, true, QtDebugMsg, "Settings successfully imported");
}

// The line that ends a successful update, for the person and for a script reading the log: the
// place, the firmware versions the unit reported before and after, and the backup file.
bool reportUpdated(const KeptSettings& kept, const UnitSelection& selection) {
    const auto version = [](const std::string& text) {
        return text.empty() ? "unknown" : text.c_str();
    };
    const QString where =
        selection.portFilter().isAny() ? QString() : " on port path " + selection.placeText();
    const QString line =
        QString::asprintf("Update complete%s: firmware %s -> %s", qUtf8Printable(where),
                          version(kept.firmwareBefore), version(kept.firmwareAfter));
    if (kept.savedIn.isEmpty()) {
        qInfo("%s", qUtf8Printable(line));
    } else {
        qInfo() << qUtf8Printable(line + ", backup file") << kept.savedIn;
    }
    return true;
}

// Settings that exist only in memory are lost when the process ends: they go to a file in the
// working directory, else in the temporary directory, else into the log itself.
QString rescueSettings(const KeptSettings& kept) {
    const QString inTemp = QDir(QDir::tempPath()).filePath(kept.rescueFileName);
    for (const QString& name : {kept.rescueFileName, inTemp}) {
        if (writeSettingsFile(name, kept.text, kRescueFile)) {
            qCritical() << "The settings read before the update were saved to" << name;
            return name;
        }
    }
    qCritical(
        "The settings read before the update could not be saved to a file; save this "
        "text as a .json file and import it with --import:\n%s",
        kept.text.c_str());
    return QString();
}

// One argument as the user's shell reads it back: a POSIX shell, or cmd.exe on Windows (where
// file names hold no double quote, and backslashes separate directories).
QString shellWord(const QString& word) {
#ifdef _WIN32
    static const QString plain =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./:+=,@\\";
#else
    static const QString plain =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./:+=,@%";
#endif
    bool quote = word.isEmpty();
    for (const QChar c : word) {
        quote = quote || !plain.contains(c);
    }
    if (!quote) {
        return word;
    }
#ifdef _WIN32
    // cmd.exe expands %NAME% even between double quotes; with a quote on each side of every %,
    // any such name would begin with a quote, which no variable's name does.
    return '"' + QString(word).replace('%', "\"%\"") + '"';
#else
    QString quoted = word;
    return '\'' + quoted.replace('\'', "'\\''") + '\'';
#endif
}

// The state a run that did not finish leaves the unit in, and the commands that bring it back
// before its settings are imported (when they are to be).
struct Recovery {
    QString state;
    QList<QStringList> steps;
    bool importSettings = true;
};

Recovery recoveryFor(UpdateStage stage, bool cameBack, const QString& firmwareFile) {
    switch (stage) {
        case UpdateStage::kNotStarted:
            return {"is in its boot loader (or on its way there) with its firmware unchanged",
                    {{"--resume"}}};
        case UpdateStage::kFlashChanging:
            return {
                "is left in its boot loader with its firmware possibly erased or partly written",
                {{"--discard-settings", firmwareFile}}};
        case UpdateStage::kReadProtected:
            // The protection keeps the old firmware and settings; only its removal erases them.
            return {
                "is left in its boot loader with its firmware unchanged: its chip is "
                "read-protected, which no update can change; removing the protection erases "
                "the whole flash, as said above",
                {{"--resume"}}};
        case UpdateStage::kFlashWritten:
            return {"is left in its boot loader with the new firmware written", {{"--resume"}}};
        case UpdateStage::kLeftUnchanged:
            return {"runs its old firmware with its settings", {}, false};
        case UpdateStage::kLeftProgrammed:
            break;
    }
    if (cameBack) {
        return {"runs the new firmware without its old settings", {}};
    }
    // A firmware that does not start leaves the chip in its boot loader.
    return {
        "did not come back after the update; if it sits in its boot loader, its new "
        "firmware does not start and it needs a firmware file that does",
        {{"--discard-settings", firmwareFile}}};
}

// Tells the user what state a run that did not finish leaves the unit in, and the commands
// that finish the work, one per line in the order to run them.
void adviseRecovery(UpdateStage stage, bool cameBack, const UnitSelection& selection,
                    const QString& firmwareFile, const QString& settingsFile) {
    const QString where = selection.portFilter().isAny()
                              ? QString("The unit")
                              : "The unit on port path " + selection.placeText();
    QStringList tool{QCoreApplication::arguments().value(0, "unitflash")};
    if (!selection.portFilter().isAny()) {
        tool << "--port" << selection.placeText();
    }
    Recovery recovery = recoveryFor(stage, cameBack, firmwareFile);
    if (recovery.importSettings && !settingsFile.isEmpty()) {
        recovery.steps << QStringList{"--import", settingsFile};
    }
    if (recovery.steps.isEmpty()) {
        qCritical("%s %s", qUtf8Printable(where), qUtf8Printable(recovery.state));
        return;
    }
    qCritical("%s %s. To recover it, run these commands in this order:", qUtf8Printable(where),
              qUtf8Printable(recovery.state));
    for (const QStringList& step : recovery.steps) {
        QStringList words;
        for (const QString& word : tool + step) {
            words << shellWord(word);
        }
        qCritical("  %s", qUtf8Printable(words.join(' ')));
    }
}

// After a failed or interrupted update: the kept settings are saved where they are the only
// copy, and the user is told how to recover the unit.
void endFailedUpdate(KeptSettings& kept, UpdateStage stage, bool cameBack, bool discardSettings,
                     const UnitSelection& selection, const QString& firmwareFile) {
    if (interrupted()) {
        qCritical("Update interrupted");
    }
    // From here on the kept settings are the only copy unless a backup file was written.
    if (!discardSettings && kept.savedIn.isEmpty()) {
        kept.savedIn = rescueSettings(kept);
    }
    // A unit that was never sent to its boot loader is wherever it was: nothing to advise.
    if (!kept.text.empty() || stage != UpdateStage::kNotStarted) {
        adviseRecovery(stage, cameBack, selection, firmwareFile,
                       discardSettings ? QString() : kept.savedIn);
    }
}

}  // namespace

}  // namespace unitflash

bool runUpdate(const QString& firmwareFile, unitflash::SettingsHandling settings,
               unitflash::UnitSelection& selection) {
    using namespace unitflash;
    if (!acceptFirmwareFile(firmwareFile)) {
        return false;
    }
    if (!parseSelectedPort(selection)) {
        return false;
    }
    const platform::InterruptGuard guard;
    const bool discardSettings = settings == SettingsHandling::kDiscard;
    KeptSettings kept;
    if (!leaveNormalOperation(settings, selection, kept)) {
        return false;
    }

    UpdateStage stage = UpdateStage::kNotStarted;
    bool cameBack = true;
    try {
        if (!interrupted()) {
            stage = updateFirmware(firmwareFile, selection.portFilter());
        }
        if (stage == UpdateStage::kLeftProgrammed) {
            if (discardSettings) {
                return reportUpdated(kept, selection);
            }
            if (!interrupted() && restoreSettings(kept, selection, cameBack)) {
                return reportUpdated(kept, selection);
            }
        } else if (!interrupted()) {
            qCritical("Firmware update failed!");
        }
    } catch (const std::exception& e) {
        qCritical("%s", e.what());
    }
    endFailedUpdate(kept, stage, cameBack, discardSettings, selection, firmwareFile);
    return false;
}
