#include "UpdateSequence.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>

#include "DeviceList.h"
#include "SettingsFile.h"
#include "UnitSession.h"
#include "UpdateRecovery.h"
#include "dfu/FindDfuDevices.h"
#include "dfu/FirmwareUpdate.h"
#include "dfu/ReturnToNormalOperation.h"
#include "platform/Interrupt.h"
#include "platform/Platform.h"

namespace unitflash {

namespace {

// After an update that did not finish, the unit is looked for this often, this far apart,
// before it is said not to have come back: one interrupted while it restarts is on its way.
constexpr int kComeBackLooks = 50;
constexpr uint32_t kComeBackLookMs = 100;

// What the steps of one update hand on to each other, and how far the update got.
struct UpdateRun {
    UpdateRun(const QString& file, SettingsHandling handling, const UnitSelection& chosen,
              bool skip)
        : firmwareFile(file),
          settings(handling),
          skipUnchanged(skip),
          selection(chosen),
          flash(file) {}

    QString firmwareFile;
    SettingsHandling settings;
    bool skipUnchanged;
    // Where the unit is: pinned by the first step that finds it, for every later step.
    UnitSelection selection;
    QString backupFile;  // once written
    // The settings read just before the trigger, and the name a file of them gets.
    std::string keptText;
    QString rescueFileName;
    // Why the unit that the read found could not be read; empty when it was read or not found.
    std::string unreadable;
    // The firmware versions the unit reported before and after the update, where it was read.
    std::string firmwareBefore;
    std::string firmwareAfter;
    // The read's link, which the trigger is written on.
    std::unique_ptr<UnitSession> link;
    dfu::FirmwareUpdate flash;
    Stage stage = Stage::kUntouched;
};

bool checkFile(UpdateRun& run) {
    return acceptFirmwareFile(run.firmwareFile) && parseSelectedPort(run.selection);
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

bool backUp(UpdateRun& run) {
    if (run.settings != SettingsHandling::kBackUpAndRestore) {
        return true;
    }
    qInfo("Waiting for device connection to backup settings");
    UnitSession unit(run.selection);
    run.backupFile = writeBackup(unit);
    run.selection = unit.selection();
    return !run.backupFile.isEmpty();
}

// One read, no wait: the settings the unit holds just before it is sent to its boot loader.
bool readSettings(UpdateRun& run) {
    run.link = std::make_unique<UnitSession>(run.selection);
    UnitSession& unit = *run.link;
    const bool read = unit.loadOnce();
    run.selection = unit.selection();
    if (read) {
        run.keptText = unit.model().exportJson(false);
        run.rescueFileName = backupFileName(unit.model());
        run.firmwareBefore = unit.model().valueText(kFirmwareVersionSetting, "");
    } else if (unit.reachedUnit()) {
        run.unreadable = unit.loadFailure();
    }
    // A unit we may not open is never swapped for another boot loader on the bench.
    if (!read && unit.reportUnopenable()) {
        run.link.reset();
        return false;
    }
    return true;
}

// A unit already in its boot loader at the chosen place (as after a failed update) is pinned
// there, so that the update programs that one and no other. Without a chosen place the boot
// loader search picks one and says so.
void pinBootloader(UnitSelection& selection) {
    if (selection.portFilter().isAny()) {
        return;
    }
    QStringList logged;
    const std::optional<QString> loader =
        dfu::firstDfuDeviceOn(dfu::findDfuDevices(&logged), selection.portFilter());
    if (!loader) {
        return;
    }
    selection.pinned = dfu::dfuDevicePort(*loader);
    qInfo("The unit on port path %s is already in its boot loader and will be programmed",
          qUtf8Printable(selection.placeText()));
}

// The boot loaders that may be other units' are left alone; the user is told how to start each.
void nameOtherBootloaders(const QStringList& loaders) {
    for (const QString& loader : loaders) {
        const usb::PortPath port = dfu::dfuDevicePort(loader);
        // The bus only where another boot loader sits at the same port path.
        const bool twin = std::count_if(loaders.begin(), loaders.end(), [&](const QString& other) {
                              return dfu::dfuDevicePort(other).ports == port.ports;
                          }) > 1;
        if (port.isAny()) {
            continue;
        }
        const QString place = placeText(port, twin);
        qWarning(
            "The boot loader on port path %s was left alone, as it may be another unit's; to "
            "start its firmware, run: %s",
            qUtf8Printable(place), qUtf8Printable(commandLine({"--resume", "--port", place})));
    }
}

// An update given up before the boot loader was triggered: a boot loader is told to leave only
// when it is surely the unit's, at the place where the unit was found or, when it was found
// nowhere, the only one on the bench.
void leaveOnlyTheUnitsBootloader(const UnitSelection& selection) {
    const QStringList loaders = dfu::findDfuDevices();
    const usb::PortPath& found = selection.pinned;
    if (found.isAny() ? loaders.size() < 2 : dfu::firstDfuDeviceOn(loaders, found).has_value()) {
        dfu::returnToNormalOperation(selection.portFilter());
    } else {
        nameOtherBootloaders(loaders);
    }
}

// Without settings to keep the update ends here (unless they are to be discarded).
bool haveSettingsToKeep(const UpdateRun& run) {
    if (run.settings == SettingsHandling::kDiscard || !run.keptText.empty()) {
        return true;
    }
    qCritical(
        "Aborting update (unable to export settings before update): specify "
        "\"--discard-settings\" to update regardless");
    if (!run.unreadable.empty()) {
        qCritical(
            "The unit on port path %s was found but its settings could not be read (%s): "
            "running this command again, or an update without --no-backup (which writes a "
            "backup first), keeps them, while --discard-settings loses them",
            qUtf8Printable(run.selection.placeText()), run.unreadable.c_str());
    }
    leaveOnlyTheUnitsBootloader(run.selection);
    return false;
}

bool triggerBootloader(UpdateRun& run) {
    // The link goes at the end of this step, also when the write fails.
    const std::unique_ptr<UnitSession> link = std::move(run.link);
    if (!run.keptText.empty()) {
        // From the write on, the unit may be on its way into its boot loader.
        run.stage = Stage::kTriggered;
        link->model().setValue("trigger bootloader", 1, 0);
        link->model().writeChanged();
    } else if (!run.selection.portText.isEmpty()) {
        qCritical("Unable to put desired device in update mode (port: %s)",
                  qUtf8Printable(run.selection.portText));
        printDeviceList();
        // The boot loader there is programmed as it is: nothing was triggered, nothing to wait for.
        pinBootloader(run.selection);
        return haveSettingsToKeep(run);
    }
    qInfo("Waiting for device to enter update mode...");
    platform::sleepMs(500);
    return haveSettingsToKeep(run);
}

// The firmware update's own steps, each followed by how far it got.
template <bool (dfu::FirmwareUpdate::*step)()>
bool flashStep(UpdateRun& run) {
    const bool done = (run.flash.*step)();
    switch (run.flash.stage()) {
        case dfu::UpdateStage::kNotStarted:
            break;  // as far as the steps before it got
        case dfu::UpdateStage::kFlashChanging:
            run.stage = Stage::kFlashChanging;
            break;
        case dfu::UpdateStage::kReadProtected:
            run.stage = Stage::kReadProtected;
            break;
        case dfu::UpdateStage::kFlashWritten:
            run.stage = Stage::kFlashWritten;
            break;
        case dfu::UpdateStage::kLeftUnchanged:
            run.stage = Stage::kLeftUnchanged;
            break;
        case dfu::UpdateStage::kLeftProgrammed:
            run.stage = Stage::kLeftProgrammed;
            break;
    }
    return done;
}

bool findBootloader(UpdateRun& run) {
    return run.flash.findBootloader(run.selection.portFilter());
}

// Only with --skip-unchanged: which sectors the erase and the programming may leave alone.
bool compareFlash(UpdateRun& run) {
    return !run.skipUnchanged || flashStep<&dfu::FirmwareUpdate::compare>(run);
}

bool restoreSettings(UpdateRun& run) {
    if (run.settings == SettingsHandling::kDiscard) {
        return true;
    }
    qInfo("Waiting for device restart to import old settings...");
    UnitSession unit(run.selection);
    if (!unit.waitForUnit(false, "Unable to connect to device for setting import! (port: %s)")) {
        return false;
    }
    // Read before the import, which would set the old value in the model.
    run.firmwareAfter = unit.model().valueText(kFirmwareVersionSetting, "");
    const bool ok = unit.model().importJson(run.keptText);
    return unit.storeImport(ok, true, QtDebugMsg, "Settings successfully imported");
}

// The line that ends a successful update, for the person and for a script reading the log: the
// place, the firmware versions the unit reported before and after, and the backup file.
void reportUpdated(const UpdateRun& run) {
    const auto version = [](const std::string& text) {
        return text.empty() ? "unknown" : text.c_str();
    };
    const UnitSelection& selection = run.selection;
    const QString where =
        selection.portFilter().isAny() ? QString() : " on port path " + selection.placeText();
    const QString line =
        QString::asprintf("Update complete%s: firmware %s -> %s", qUtf8Printable(where),
                          version(run.firmwareBefore), version(run.firmwareAfter));
    if (run.backupFile.isEmpty()) {
        qInfo("%s", qUtf8Printable(line));
    } else {
        qInfo() << qUtf8Printable(line + ", backup file") << run.backupFile;
    }
}

// One step of the update: what it does, in words for its failure, and the line that sums up
// a failure that no interrupt caused, if any.
struct Step {
    const char* name;
    bool (*run)(UpdateRun&);
    const char* failure;
};

const char* const kBackupFailed = "Unable to backup device settings, aborting!";
const char* const kUpdateFailed = "Firmware update failed!";

const Step kSteps[] = {
    {"check the firmware file", checkFile, nullptr},
    {"back up the settings", backUp, kBackupFailed},
    {"read the settings", readSettings, nullptr},
    {"trigger the boot loader", triggerBootloader, nullptr},
    {"find the boot loader", findBootloader, kUpdateFailed},
    {"check the image", flashStep<&dfu::FirmwareUpdate::checkImage>, kUpdateFailed},
    {"compare the flash with the image", compareFlash, kUpdateFailed},
    {"erase the flash", flashStep<&dfu::FirmwareUpdate::erase>, kUpdateFailed},
    // The programming reads the flash back and so verifies it.
    {"program the flash", flashStep<&dfu::FirmwareUpdate::program>, kUpdateFailed},
    {"leave the boot loader", flashStep<&dfu::FirmwareUpdate::leave>, kUpdateFailed},
    {"restore the settings", restoreSettings, nullptr},
};

enum class Outcome { kDone, kFailed, kInterrupted };

// Settings that exist only in memory are lost when the process ends: they go to a file in the
// working directory, else in the temporary directory, else into the log itself.
QString rescueSettings(const UpdateRun& run) {
    const QString inTemp = QDir(QDir::tempPath()).filePath(run.rescueFileName);
    for (const QString& name : {run.rescueFileName, inTemp}) {
        if (writeSettingsFile(name, run.keptText, kRescueFile)) {
            qCritical() << "The settings read before the update were saved to" << name;
            return name;
        }
    }
    qCritical(
        "The settings read before the update could not be saved to a file; save this "
        "text as a .json file and import it with --import:\n%s",
        run.keptText.c_str());
    return QString();
}

// Whether the unit is back in normal operation at its place, looking for a few seconds.
bool unitCameBack(const UnitSelection& selection) {
    UnitSession unit(selection);
    for (int look = 0; look < kComeBackLooks; ++look) {
        if (unit.unitPresent()) {
            return true;
        }
        platform::sleepMs(kComeBackLookMs);
    }
    return false;
}

// After a step that failed or was interrupted: the kept settings are saved where they are the
// only copy, and the user is told what state the unit is in and how to recover it.
void endUpdate(UpdateRun& run, const Step& step, Outcome outcome) {
    if (outcome == Outcome::kFailed && step.failure != nullptr) {
        qCritical("%s", step.failure);
    }
    if (run.stage == Stage::kUntouched) {
        if (outcome == Outcome::kInterrupted) {
            qCritical(
                "Update interrupted before the unit was changed: its firmware and settings are "
                "as they were");
        }
        return;
    }
    if (outcome == Outcome::kInterrupted) {
        qCritical("Update interrupted");
    }
    const bool discard = run.settings == SettingsHandling::kDiscard;
    // From here on the kept settings are the only copy unless a backup file was written.
    QString settingsFile = run.backupFile;
    if (!discard && settingsFile.isEmpty()) {
        settingsFile = rescueSettings(run);
    }
    if (run.stage == Stage::kLeftProgrammed) {
        run.stage = unitCameBack(run.selection) ? Stage::kCameBack : Stage::kNotBack;
    }
    adviseRecovery(run.stage, run.selection, run.firmwareFile, discard ? QString() : settingsFile);
}

}  // namespace

bool acceptFirmwareFile(const QString& firmwareFile) {
    const QFileInfo info(firmwareFile);
    if (info.suffix() != "dfu") {
        qWarning() << "Need a *.dfu file for firmware updates, but got: " << info.fileName();
    } else if (!info.isReadable()) {
        qWarning() << "Can not read dfu file for firmware update: " << info.fileName();
    } else if (dfu::checkFirmwareFile(firmwareFile)) {
        // A file that cannot be programmed is refused before the unit leaves normal operation.
        return true;
    }
    qCritical("Unable to perform update, invalid dfu file");
    return false;
}

bool runUpdate(const QString& firmwareFile, SettingsHandling settings,
               const UnitSelection& selection, bool skipUnchanged) {
    UpdateRun run(firmwareFile, settings, selection, skipUnchanged);
    const platform::InterruptGuard guard;
    for (const Step& step : kSteps) {
        bool done = false;
        try {
            done = step.run(run);
        } catch (const std::exception& e) {
            qCritical("Unable to %s: %s", step.name, e.what());
        }
        // The one place where an interrupt stops the update: between two steps.
        const Outcome outcome = platform::interruptRequested ? Outcome::kInterrupted
                                : done                       ? Outcome::kDone
                                                             : Outcome::kFailed;
        if (outcome != Outcome::kDone) {
            endUpdate(run, step, outcome);
            return false;
        }
    }
    reportUpdated(run);
    return true;
}

}  // namespace unitflash
