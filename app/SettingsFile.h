#pragma once

#include <QString>

#include <string>

namespace trn {
class SettingsModel;
}

namespace unitflash {

// What a settings file is written for, in the words of the messages that report its failure,
// and whether a file the tool names itself stays its owner's alone in a folder that other users
// can write to (such as /tmp; on Windows the folder's own access rules apply).
struct SettingsFilePurpose {
    const char* openFailure;
    const char* writeFailure;
    bool ownerOnlyInSharedFolder;
};
inline constexpr SettingsFilePurpose kExportFile{
    "Unable to open file for export:", "Unable to write file for export:", false};
inline constexpr SettingsFilePurpose kBackupFile{
    "Unable to open file for setting backup:", "Unable to write file for export:", true};
inline constexpr SettingsFilePurpose kRescueFile{
    "Unable to open file for setting backup:", "Unable to write file for setting rescue:", true};

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

// The setting in which a unit reports the version of the firmware it runs.
inline constexpr char kFirmwareVersionSetting[] = "Version: Firmware";

}  // namespace unitflash
