#include "AllUnits.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <rapidjson/document.h>

#include <memory>
#include <utility>
#include <vector>

#include "ConsoleLog.h"
#include "DeviceList.h"
#include "SettingsFile.h"
#include "UnitSession.h"
#include "UpdateRecovery.h"
#include "UpdateSequence.h"
#include "dfu/FindDfuDevices.h"
#include "platform/Interrupt.h"
#include "tarnlib/UsbTransportV2.h"

namespace unitflash {

namespace {

// A line as the log prints it: level letter and time, then the text.
const QRegularExpression kTagged(R"(^(\[(.)\]\[[^\]]*\] )(.*)$)");
const QRegularExpression kProgress(R"(^(\d+) %$)");
// The last line of a unit's update that succeeded: the versions and the backup file.
const QRegularExpression kComplete(R"(^Update complete[^:]*: (firmware .*)$)");
// A recovery command naming the file that holds a unit's settings (its backup, or the rescue).
const QRegularExpression kImport(R"( --import (.+)$)");

// The run of one unit: a child process of this program.
class UnitRun : public QProcess {
  public:
    explicit UnitRun(QString where) : place(std::move(where)) {}

    bool updated() const {
        return started && exitStatus() == QProcess::NormalExit && exitCode() == 0;
    }

    const QString place;  // as --port takes it: bus and port path
    bool started = false;
    qint64 childPid = 0;    // once started, for passing stop requests on until it ends
    QByteArray pending;     // output after its last whole line
    int lastPercent = -1;   // of the progress lines it printed,
    int shownPercent = -1;  // and of those passed on
    QString outcome;        // from its last line, when it succeeded
    QString settingsFile;   // named by its recovery commands, when it failed
    QStringList errors;     // its error lines, as passed on

  protected:
    void setupChildProcess() override { platform::detachChildProcess(); }
};

// At most one progress line per 10 % of each operation; a lower one begins the next operation.
bool showProgress(UnitRun& run, int percent) {
    const bool show =
        run.shownPercent < 0 || percent < run.lastPercent || percent / 10 > run.shownPercent / 10;
    run.lastPercent = percent;
    if (show) {
        run.shownPercent = percent;
    }
    return show;
}

// Logs a unit's line at the level its run gave it, stamped with this run's clock, so that the
// lines of all units read in one order of time.
void logAtLevel(char level, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    switch (level) {
        case 'D':
            qDebug("%s", utf8.constData());
            break;
        case 'I':
            qInfo("%s", utf8.constData());
            break;
        case 'W':
            qWarning("%s", utf8.constData());
            break;
        default:
            qCritical("%s", utf8.constData());
    }
}

// Passes one line of a unit's run on, with the unit's place after the level and time.
void relay(UnitRun& run, QByteArray line) {
    if (line.endsWith('\r')) {
        line.chop(1);  // Windows' line end
    }
    const QString text = QString::fromUtf8(line);
    const QRegularExpressionMatch tagged = kTagged.match(text);
    if (!tagged.hasMatch()) {
        printLine((run.place + ": " + text).toUtf8(), false);
        return;
    }
    const QString body = tagged.captured(3);
    const QRegularExpressionMatch progress = kProgress.match(body);
    if (progress.hasMatch() && !showProgress(run, progress.captured(1).toInt())) {
        return;
    }
    const QRegularExpressionMatch complete = kComplete.match(body);
    if (complete.hasMatch()) {
        run.outcome = complete.captured(1);
    }
    const QRegularExpressionMatch import = kImport.match(body);
    if (import.hasMatch()) {
        run.settingsFile = shellWordText(import.captured(1));
    }
    const QString relayed = run.place + ": " + body;
    const char level = tagged.captured(2).at(0).toLatin1();
    if (level == '!') {
        run.errors << relayed;
    }
    logAtLevel(level, relayed);
}

// What a unit whose update failed had: its firmware before, as the settings file it left
// records it, and that file.
QString keptSettings(const UnitRun& run) {
    if (run.settingsFile.isEmpty()) {
        return "firmware unknown, no settings file";
    }
    QFile file(run.settingsFile);
    const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    // The file as this tool writes it: a setting that holds no number is written as NaN.
    rapidjson::Document settings;
    settings.Parse<rapidjson::kParseNanAndInfFlag>(text.constData(), text.size());
    QString version = "unknown";
    if (settings.IsObject()) {
        const auto it = settings.FindMember(kFirmwareVersionSetting);
        if (it != settings.MemberEnd() && it->value.IsString()) {
            version = QString::fromUtf8(it->value.GetString());
        }
    }
    return QString("firmware %1, settings in \"%2\"").arg(version, run.settingsFile);
}

void relayOutput(UnitRun& run, bool ended) {
    run.pending += run.readAllStandardOutput();
    for (int end = run.pending.indexOf('\n'); end >= 0; end = run.pending.indexOf('\n')) {
        relay(run, run.pending.left(end));
        run.pending.remove(0, end + 1);
    }
    if (ended && !run.pending.isEmpty()) {
        relay(run, run.pending);
        run.pending.clear();
    }
}

// Starts the run of one unit. Stop requests wait meanwhile, so that the run is registered for
// them before one is passed on.
void start(UnitRun& run, const QStringList& arguments) {
    const platform::InterruptsHeld held;
    if (platform::interruptRequested) {
        return;
    }
    run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    run.start(QCoreApplication::applicationFilePath(), arguments);
    run.started = run.waitForStarted(-1);
    run.childPid = run.started ? run.processId() : 0;
    if (run.started && !platform::passInterruptsTo(run.childPid)) {
        run.kill();  // one a stop request could not reach
        run.waitForFinished(-1);
        run.started = false;
    }
}

// One line per unit; for each unit not updated what its run reported, with its state and
// recovery commands.
void summarize(const std::vector<std::unique_ptr<UnitRun>>& runs) {
    qInfo("Summary of the update of %d units with --all:", static_cast<int>(runs.size()));
    for (const std::unique_ptr<UnitRun>& run : runs) {
        const QByteArray place = run->place.toUtf8();
        if (run->updated()) {
            qInfo("%s: updated, %s", place.constData(), qUtf8Printable(run->outcome));
        } else if (!run->started) {
            qCritical("%s: not updated: its run was not started (%s)", place.constData(),
                      platform::interruptRequested ? "stopped before"
                                                   : qUtf8Printable(run->errorString()));
        } else if (run->exitStatus() != QProcess::NormalExit) {
            qCritical(
                "%s: not updated: its run ended without a result; run --list-devices --verbose "
                "to see where the unit is",
                place.constData());
        } else {
            qCritical("%s: not updated, %s; what its run reported:", place.constData(),
                      qUtf8Printable(keptSettings(*run)));
            for (const QString& line : run->errors) {
                qCritical("%s", qUtf8Printable(line));
            }
        }
    }
}

// Units in their boot loader are left alone: they are named with the update that programs one.
void nameBootloaders(const UnitSelection& selection, const QString& firmwareFile) {
    for (const QString& loader : dfu::findDfuDevices()) {
        const usb::PortPath place = dfu::dfuDevicePort(loader);
        if (!place.isAny() && selection.port.covers(place)) {
            const QString where = QString::fromStdString(place.textWithBus());
            qWarning(
                "The boot loader on port path %s is left alone (--all updates units in normal "
                "operation); to program it alone, run: %s",
                qUtf8Printable(where),
                qUtf8Printable(commandLine({"--port", where, "--discard-settings", firmwareFile})));
        }
    }
}

// The places of the units to update; none, after saying so, when there is none.
std::vector<usb::PortPath> unitsToUpdate(const UnitSelection& selection) {
    trn::UsbTransportV2 transport;
    std::vector<usb::PortPath> units = attachedUnits(transport, selection);
    if (units.empty()) {
        qCritical("No unit to update is attached (port: %s, name: \"%s\"): nothing was updated",
                  qUtf8Printable(selection.portText), selection.deviceName.c_str());
        printDeviceList();
    }
    return units;
}

}  // namespace

bool updateAllUnits(UnitSelection selection, const QString& firmwareFile,
                    const QStringList& childOptions) {
    if (!acceptFirmwareFile(firmwareFile) || !parseSelectedPort(selection)) {
        return false;
    }
    const std::vector<usb::PortPath> units = unitsToUpdate(selection);
    nameBootloaders(selection, firmwareFile);
    if (units.empty()) {
        return false;
    }
    const platform::InterruptGuard guard;
    std::vector<std::unique_ptr<UnitRun>> runs;
    QEventLoop loop;
    int running = 0;
    for (const usb::PortPath& place : units) {
        runs.push_back(std::make_unique<UnitRun>(QString::fromStdString(place.textWithBus())));
        UnitRun& run = *runs.back();
        start(run,
              QStringList{"--port", run.place} + childOptions + QStringList{"--", firmwareFile});
        if (!run.started) {
            continue;
        }
        // Its output and its end are signalled from the event loop below, so nothing is missed.
        ++running;
        QObject::connect(&run, &QProcess::readyReadStandardOutput,
                         [&run] { relayOutput(run, false); });
        QObject::connect(&run, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), [&] {
            platform::stopPassingInterruptsTo(run.childPid);
            relayOutput(run, true);
            if (--running == 0) {
                loop.quit();
            }
        });
    }
    if (running > 0) {
        loop.exec();
    }
    summarize(runs);
    bool all = true;
    for (const std::unique_ptr<UnitRun>& run : runs) {
        all = all && run->updated();
    }
    return all;
}

}  // namespace unitflash
