#include "ConsoleLog.h"

#include <cstdio>

bool verboseOutput = false;
QElapsedTimer applicationTimer;

const char kLevelLetters[5] = {
    'D',  // QtDebugMsg
    'W',  // QtWarningMsg
    '!',  // QtCriticalMsg
    'X',  // QtFatalMsg
    'I',  // QtInfoMsg
};

namespace unitflash {

QString formatLogLine(QtMsgType type, qint64 elapsedMs, const QString& text) {
    if (type == QtDebugMsg && !verboseOutput) {
        return QString();
    }
    const int index = static_cast<int>(type);
    if (index < 0 || index > 4) {
        return QStringLiteral("Unexpected message type: %1.").arg(index);
    }
    // One multi-argument arg() call fills all three places at once, so a "%1" inside the
    // message text is never taken for a placeholder.
    return QStringLiteral("[%1][%2] %3")
        .arg(QString(QLatin1Char(kLevelLetters[index])),
             QString::number(elapsedMs / 1000.0, 'g', 6), text);
}

}  // namespace unitflash

void consoleMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& text) {
    const qint64 elapsed = applicationTimer.isValid() ? applicationTimer.elapsed() : 0;
    const QString line = unitflash::formatLogLine(type, elapsed, text);
    if (line.isNull()) {
        return;
    }
    const QByteArray utf8 = line.toUtf8();
    std::fwrite(utf8.constData(), 1, static_cast<size_t>(utf8.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
