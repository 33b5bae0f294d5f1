#include "SettingsFile.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <cstdio>
#include <memory>

#include "tarnlib/SettingsModel.h"

namespace unitflash {

namespace {

// A FIFO, a device or a socket (on Windows NUL, CON, a pipe or a port) stands for something
// other than its name: it is written into, never replaced by a new file.
bool isSpecialFile(const QString& fileName) {
#ifdef _WIN32
    const HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t*>(fileName.utf16()), GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool special = GetFileType(handle) != FILE_TYPE_DISK;
    CloseHandle(handle);
    return special;
#else
    struct stat status {};
    return ::stat(QFile::encodeName(fileName).constData(), &status) == 0 &&
           !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode);
#endif
}

// The unit supplies these texts; they must not steer the file elsewhere, nor hold what Windows
// refuses in a name (the same name on both systems).
QString fileNamePart(const std::string& utf8) {
    static const QString refused = "/\\:*?\"<>|";
    QString part = QString::fromStdString(utf8);
    for (QChar& c : part) {
        if (refused.contains(c) || c.unicode() < 0x20) {
            c = '_';
        }
    }
    return part;
}

// A folder that other users may write to (world-writable or sticky, as /tmp) lets them read
// what lands there under the usual umask.
bool inSharedFolder(const QString& fileName) {
#ifdef _WIN32
    Q_UNUSED(fileName);
    return false;
#else
    struct stat status {};
    const QByteArray folder = QFile::encodeName(QFileInfo(fileName).absolutePath());
    return ::stat(folder.constData(), &status) == 0 && (status.st_mode & (S_IWOTH | S_ISVTX)) != 0;
#endif
}

}  // namespace

bool writeSettingsFile(const QString& fileName, const std::string& text,
                       const SettingsFilePurpose& purpose) {
    std::unique_ptr<QFileDevice> file;
    const bool special = isSpecialFile(fileName);
    if (special) {
        auto device = std::make_unique<QFile>(fileName);
#ifdef _WIN32
        // Qt opens a file by its absolute long-path name, which names no device on Windows.
        FILE* stream = _wfopen(reinterpret_cast<const wchar_t*>(fileName.utf16()), L"wb");
        if (stream != nullptr && !device->open(stream, QIODevice::WriteOnly | QIODevice::Unbuffered,
                                               QFileDevice::AutoCloseHandle)) {
            std::fclose(stream);
        }
#endif
        file = std::move(device);
    } else {
        auto saveFile = std::make_unique<QSaveFile>(fileName);
        // A writable file in a directory that takes no new files is overwritten in place.
        saveFile->setDirectWriteFallback(true);
        file = std::move(saveFile);
    }
    // Unbuffered, so that a short write shows in the count write() returns.
    // Made private before any byte of the settings is in it.
    if ((!file->isOpen() && !file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) ||
        (purpose.ownerOnlyInSharedFolder && !special && inSharedFolder(fileName) &&
         !file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))) {
        qCritical() << purpose.openFailure << fileName;
        return false;
    }
    qDebug() << "Writing to file" << fileName;
    const qint64 written = file->write(text.data(), static_cast<qint64>(text.size()));
    bool complete = written == static_cast<qint64>(text.size());
    if (auto* saveFile = dynamic_cast<QSaveFile*>(file.get())) {
        complete = complete && saveFile->commit();  // else the old file stays
    } else {
        file->close();
        complete = complete && file->error() == QFileDevice::NoError;
    }
    if (!complete) {
        qCritical() << purpose.writeFailure << fileName;
        return false;
    }
    return true;
}

QString backupFileName(trn::SettingsModel& model) {
    const QString stamp = QDateTime::currentDateTime().toString("yyyy-MM-dd-HH_mm_ss_zzz");
    std::string version = model.valueText("Version: VIO", "");
    if (version.empty()) {
        version = model.valueText(kFirmwareVersionSetting, "");
    }
    const std::string unit = model.valueText("Version: Hardware UID", "");
    return fileNamePart(version) + "_" + fileNamePart(unit) + "_" + stamp + ".json";
}

}  // namespace unitflash
