#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Runs a tool binary as a user would and collects what it prints.
struct ToolRun {
    int exitCode = -1;
    QString out;
    QString err;

    QStringList lines() const { return out.split('\n', Qt::SkipEmptyParts); }
    // The output lines with their "[X][seconds] " time stamps reduced to "[X] ".
    QStringList untimedLines() const;
};

ToolRun runTool(const QString& binary, const QStringList& arguments,
                const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                const QString& workingDirectory = QString());
