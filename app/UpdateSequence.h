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

}  // namespace unitflash

// The default command: firmware update with settings preservation.
bool runUpdate(const QString& firmwareFile, unitflash::SettingsHandling settings,
               const unitflash::UnitSelection& selection);
