#include "ConsoleLog.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace unitflash {

bool verboseOutput = false;
QElapsedTimer applicationTimer;

const char kLevelLetters[5] = {
    'D',  // QtDebugMsg
    'W',  // QtWarningMsg
    '!',  // QtCriticalMsg
    'X',  // QtFatalMsg
    'I',  // QtInfoMsg
};

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

#ifdef _WIN32
namespace {
UINT previousCodePage = 0;
void restoreCodePage() {
    SetConsoleOutputCP(previousCodePage);
}
}  // namespace

void useUtf8Console() {
    previousCodePage = GetConsoleOutputCP();
    // No console (output into a file or pipe): nothing to set or restore.
    if (previousCodePage != 0 && previousCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        std::atexit(restoreCodePage);
    }
}
#else
void useUtf8Console() {}
#endif

namespace {

bool writeLine(const QByteArray& line, FILE* stream) {
    const bool written = std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()),
                                     stream) == static_cast<size_t>(line.size()) &&
                         std::fputc('\n', stream) != EOF;
    return std::fflush(stream) == 0 && written;
}

}  // namespace

void consoleMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& text) {
    const qint64 elapsed = applicationTimer.isValid() ? applicationTimer.elapsed() : 0;
    const QString line = formatLogLine(type, elapsed, text);
    if (line.isNull()) {
        return;
    }
    printLine(line.toUtf8(), type != QtDebugMsg && type != QtInfoMsg);
}

void printLine(const QByteArray& utf8, bool important) {
    // Once standard output has failed (its reader gone, as a `| tee` that Ctrl-C ended), the
    // warnings and errors, among them the unit's state and the recovery commands, also go to
    // standard error, so that they still reach the person.
    static bool outputLost = false;
    outputLost = !writeLine(utf8, stdout) || outputLost;
    if (outputLost && important) {
        writeLine(utf8, stderr);
    }
}

}  // namespace unitflash
