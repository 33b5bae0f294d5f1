#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <functional>
#include <ostream>
#include <vector>

#include "RunTool.h"

// A working directory with a simulated unit whose state lasts from one run of unitflash-sim to
// the next, as a user sees it between commands.
class CliTest : public ::testing::Test {
  protected:
    // The unit at port 1.4 running firmware 1.0.0, plus whatever `extra` adds to its entry.
    static QJsonObject unitAt(const QString& port, const QJsonObject& extra = {});

    void SetUp() override;
    // Describes the devices on the bus (a JSON array of device entries); with `persistent`
    // their state carries over from one run to the next. With `keepState` the devices keep what
    // earlier runs left in them (flash, settings, boot loader or not) and only their options
    // and faults change.
    void setDevices(const QJsonArray& devices, bool persistent = true, bool keepState = false);
    // Runs unitflash-sim in the working directory.
    ToolRun run(const QStringList& arguments) const;
    // Runs a command line in the working directory as the user's shell reads it.
    ToolRun runLine(const QString& line) const;
#ifndef _WIN32
    // POSIX shells, signals, users and pipes: the tests built on these run on Linux only.

    // Runs `program` (linked to the system's libusb) under unitflash-usbfs, paced to `pace`
    // times real time, at most 60 s; with `dropIn` on the drop-in library instead, as a
    // comparison.
    ToolRun runBridged(const QString& program, const QStringList& arguments, bool dropIn = false,
                       const char* pace = "0.05") const;
    // Runs it in a shell after `preamble` (e.g. resource limits).
    ToolRun runInShell(const QString& preamble, const QStringList& arguments) const;
    // Runs it with the simulated devices paced to real time and, once it has printed a line
    // ending in `waitFor`, does `meanwhile` and then sends it `signals` one after another, as a
    // terminal would (a negative one to its process group). The exit code is -1 when a signal
    // ended the process. A `launcher` (such as nohup, or setsid for a group of its own) starts
    // it, or `tool` instead of unitflash-sim. With `readerLeaves`, its standard output is a FIFO
    // whose reader goes before the signals, as a `| tee` that the same Ctrl-C ended.
    ToolRun runInterrupted(const QStringList& arguments, const QString& waitFor,
                           const std::vector<int>& toSend, const QString& launcher = {},
                           bool readerLeaves = false, const std::function<void()>& meanwhile = {},
                           const QStringList& tool = {UNITFLASH_SIM_BINARY}) const;
    // Runs it as an unprivileged user, for whom the working directory is read-only; its
    // temporary directory is `temporary`. Needs root; the exit code is -1 without.
    ToolRun runUnprivileged(const QStringList& arguments, const QString& temporary) const;
    // Runs it with standard output a pipe whose reader has already gone.
    int runIntoClosedPipe(const QStringList& arguments) const;
#endif

    QString path(const QString& name) const {
        return work_.filePath(name);
    }
    QByteArray read(const QString& name) const;
    void write(const QString& name, const QByteArray& content) const;
    // Files in the working directory, sorted by name.
    QStringList files() const;
    // Writes an example firmware file naming `version`, in two touching elements; its name.
    QString firmware(const QString& version, const QString& name = "firmware.dfu",
                     size_t size = 48 * 1024) const;
    // A fresh export of the unit's settings (expects success); the file is removed again.
    QByteArray exportedSettings(const QString& name = "check.json") const;
    // The simulator's state file and the flash files beside it, as the last run left them.
    QByteArray deviceState() const;
    // The settings the unit has stored, from the simulator's state file.
    QByteArray savedSettings() const;
    // The flash of the unit at 1.4 as the last run left it.
    QByteArray flash() const;

  private:
    // This environment with the simulator's scenario, paced at `pace` times real time.
    QProcessEnvironment simulation(const char* pace = "0") const;
    // The same for a run under unitflash-usbfs.
    QProcessEnvironment bridging(const char* pace) const;

    QTemporaryDir root_;
    QDir work_;
    QString scenario_;
};

// What the tool advises for a unit it may not open, on this system: the parts that matter, the
// driver or the rule's name; where the advice points to is the product's own wording.
#ifdef _WIN32
const char* const kOpenAdvice = "bind it to the WinUSB driver";
#else
const char* const kOpenAdvice = "install the udev rule 70-unitflash.rules";
#endif

// What the tool says of the unit or boot loader (`device`) on port path 1.4 when another program
// uses it.
inline QString inUseOn14(const char* device) {
    return QString(
               "[!] The %1 on port path 1.4 is in use by another program (another run of "
               "this tool, say); nothing was done to it. Wait until that run has ended, then "
               "run this command again.")
        .arg(device);
}

// Readable failure output for lines and lists of lines.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// Output lines without their time stamps, and the open advice cut to its parts, for comparison.
inline Lines untimed(const ToolRun& run) {
    static const QRegularExpression advice(QRegularExpression::escape(kOpenAdvice) + ".*");
    return run.untimedLines().replaceInStrings(advice, kOpenAdvice);
}
