#pragma once

#include <QString>

#include <string>

namespace trn {
class SettingsModel;
}

namespace unitflash {

// What a settings file is written for, in the words of the messages that report its failure.
struct SettingsFilePurpose {
    const char* openFailure;
    const char* writeFailure;
};
inline constexpr SettingsFilePurpose kExportFile{"Unable to open file for export:",
                                                 "Unable to write file for export:"};
inline constexpr SettingsFilePurpose kBackupFile{"Unable to open file for setting backup:",
                                                 "Unable to write file for export:"};
inline constexpr SettingsFilePurpose kRescueFile{"Unable to open file for setting backup:",
                                                 "Unable to write file for setting rescue:"};

// Writes settings JSON text to a file. The text goes to a temporary file beside the target,
// which replaces the target only once all of it is written, so that a failed write never
// destroys an earlier file of the same name. A FIFO, a device or another file that is not a
// plain file is written into directly, and so is a writable file in a directory where no
// temporary file can be made. Logs its own failure in the words of `purpose`.
bool writeSettingsFile(const QString& fileName, const std::string& text,
                       const SettingsFilePurpose& purpose);

// The name of a backup file for the unit whose settings the model holds:
// version_identifier_time.json, with characters that could lead out of the working directory
// replaced.
QString backupFileName(trn::SettingsModel& model);

}  // namespace unitflash
