#pragma once

#include <QList>
#include <QStringList>

#include "UnitSelection.h"

namespace unitflash {

// How far an update that did not finish got with the unit.
enum class Stage {
    kUntouched,       // nothing was sent to the unit: it is as it was
    kTriggered,       // told to start its boot loader (or already there); firmware unchanged
    kFlashChanging,   // erasing or programming began and did not finish
    kReadProtected,   // the chip is read-protected: the erase changed nothing
    kFlashWritten,    // the whole image is written; the unit still sits in its boot loader
    kLeftUnchanged,   // the image was refused and the unit went back to its old firmware
    kLeftProgrammed,  // the unit left its boot loader to start the new firmware
    kCameBack,        // ... and is back in normal operation
    kNotBack,         // ... and did not come back in normal operation
};

// The state a run that did not finish leaves the unit in, and the commands (options and
// arguments) that bring it back before its settings are imported, when they are to be.
struct Recovery {
    QString state;
    QList<QStringList> steps;
    bool importSettings = true;
};

Recovery recoveryFor(Stage stage, const QString& firmwareFile);

// A command of this tool that works on the selected unit, as the user's shell reads it back.
QString commandLine(const QStringList& arguments);

// The word a command line of commandLine() quoted as `word`.
QString shellWordText(const QString& word);

// Tells the user what state a run that did not finish leaves the unit in, and the commands that
// finish the work, one per line in the order to run them; `settingsFile` holds the settings to
// import, when there are any.
void adviseRecovery(Stage stage, const UnitSelection& selection, const QString& firmwareFile,
                    const QString& settingsFile);

}  // namespace unitflash
