#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Output lines. The last of no lines is an empty text, so that a check of the last line of a
// run that printed nothing fails instead of crashing the test program.
class Lines : public QStringList {
  public:
    Lines(const QStringList& lines) : QStringList(lines) {}  // NOLINT(google-explicit-constructor)
    QString last() const { return isEmpty() ? QString() : QStringList::last(); }
};

// Runs a tool binary as a user would and collects what it prints (Windows' CR LF line ends read
// as LF).
struct ToolRun {
    int exitCode = -1;
    QString out;
    QString err;

    Lines lines() const { return out.split('\n', Qt::SkipEmptyParts); }
    // The output lines with their "[X][seconds] " time stamps reduced to "[X] ".
    Lines untimedLines() const;
};

ToolRun runTool(const QString& binary, const QStringList& arguments,
                const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                const QString& workingDirectory = QString());

// Runs one command line as a user types it into a shell: /bin/sh, or cmd.exe on Windows.
ToolRun runCommandLine(
    const QString& line,
    const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
    const QString& workingDirectory = QString());
