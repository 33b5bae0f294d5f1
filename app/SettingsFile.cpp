#include "SettingsFile.h"

#include <QDateTime>
#include <QDebug>
#include <QSaveFile>

#include "SettingsModel.h"

bool writeSettingsFile(const QString& fileName, const std::string& text, const char* openFailure) {
    QSaveFile file(fileName);
    // Unbuffered, so that a short write shows in the count write() returns.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qCritical() << openFailure << fileName;
        return false;
    }
    qDebug() << "Writing to file" << fileName;
    const qint64 written = file.write(text.data(), static_cast<qint64>(text.size()));
    if (written != static_cast<qint64>(text.size()) || !file.commit()) {
        qCritical() << "Unable to write file for export:" << fileName;
        return false;
    }
    return true;
}

namespace {

// The unit supplies these texts; they must not steer the file elsewhere.
QString fileNamePart(const std::string& utf8) {
    QString part = QString::fromStdString(utf8);
    for (QChar& c : part) {
        if (c == '/' || c == '\\' || c.unicode() < 0x20) {
            c = '_';
        }
    }
    return part;
}

}  // namespace

QString backupFileName(trn::SettingsModel& model) {
    const QString stamp = QDateTime::currentDateTime().toString("yyyy-MM-dd-HH_mm_ss_zzz");
    std::string version = model.valueText("Version: VIO", "");
    if (version.empty()) {
        version = model.valueText("Version: Firmware", "");
    }
    const std::string unit = model.valueText("Version: Hardware UID", "");
    return fileNamePart(version) + "_" + fileNamePart(unit) + "_" + stamp + ".json";
}
