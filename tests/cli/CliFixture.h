#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "RunTool.h"

// A working directory with a simulated unit whose state lasts from one run of unitflash-sim to
// the next, as a user sees it between commands.
class CliTest : public ::testing::Test {
  protected:
    // The unit at port 1.4 running firmware 1.0.0, plus whatever `extra` adds to its entry.
    static QJsonObject unitAt(const QString& port, const QJsonObject& extra = {});

    void SetUp() override;
    // Describes the devices on the bus (a JSON array of device entries); with `persistent`
    // their state carries over from one run to the next.
    void setDevices(const QJsonArray& devices, bool persistent = true);
    // Runs unitflash-sim in the working directory.
    ToolRun run(const QStringList& arguments) const;
    // Runs it in a shell after `preamble` (e.g. resource limits).
    ToolRun runInShell(const QString& preamble, const QStringList& arguments) const;

    QString path(const QString& name) const { return work_.filePath(name); }
    QByteArray read(const QString& name) const;
    void write(const QString& name, const QByteArray& content) const;
    // Files in the working directory, sorted by name.
    QStringList files() const;
    // Writes an example firmware file naming `version`; its file name.
    QString firmware(const QString& version, const QString& name = "firmware.dfu") const;
    // A fresh export of the unit's settings (expects success); the file is removed again.
    QByteArray exportedSettings(const QString& name = "check.json") const;
    // The settings the unit has stored, from the simulator's state file.
    QByteArray savedSettings() const;
    // The unit at 1.4 loses its stored settings but runs on with its current values, so that
    // after a restart only what the tool writes back brings them back.
    void forgetSavedSettings() const;

  private:
    QTemporaryDir root_;
    QDir work_;
    QString scenario_;
};

// Output lines without their time stamps, for comparison.
inline QStringList untimed(const ToolRun& run) {
    return run.untimedLines();
}
