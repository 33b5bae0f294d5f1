#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>

namespace unitflash {

// Process-wide verbosity flag: debug lines are printed only when it is set.
extern bool verboseOutput;

// Log clock, started as the first action of main; its reading stamps every line.
extern QElapsedTimer applicationTimer;

// Level letters indexed by QtMsgType (debug, warning, critical, fatal, info).
extern const char kLevelLetters[5];

// Builds the console line for one message, or an empty string when it is to be dropped.
QString formatLogLine(QtMsgType type, qint64 elapsedMs, const QString& text);

// On Windows, sets the console's output code page to UTF-8, the encoding of every line, until
// the process ends, when the previous one comes back; nothing elsewhere.
void useUtf8Console();

// Writes one finished line (UTF-8, without its line end) as the message handler writes its
// own; `important` lines (warnings and errors) also go to standard error once standard output
// has failed.
void printLine(const QByteArray& utf8, bool important);

// Writes every message to standard output as "[letter][seconds] text"; once standard output
// fails, warnings and errors to standard error as well.
void consoleMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text);

}  // namespace unitflash
