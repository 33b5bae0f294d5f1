#pragma once

#include <QString>

#include "UnitSelection.h"

namespace unitflash {

// What an update does with the unit's settings.
enum class SettingsHandling {
    kBackUpAndRestore,  // the default: a backup file first, the settings restored afterwards
    kRestoreOnly,       // --no-backup: restored afterwards, no backup file
    kDiscard,           // --discard-settings: neither
};

// Whether `firmwareFile` can update a unit, after saying why not: a readable ".dfu" file whose
// image can be programmed.
bool acceptFirmwareFile(const QString& firmwareFile);

// The default command: firmware update with settings preservation. With `skipUnchanged` the
// flash is read first, and only the sectors that do not hold the image yet are rewritten.
bool runUpdate(const QString& firmwareFile, SettingsHandling settings,
               const UnitSelection& selection, bool skipUnchanged);

}  // namespace unitflash
