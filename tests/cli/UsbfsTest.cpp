#include <QRegularExpression>
#include <QStandardPaths>

#include <csignal>

#include "CliFixture.h"

namespace {

using Usbfs = CliTest;

// Texts without the time in the names of backup files.
QStringList unstamped(QStringList texts) {
    static const QRegularExpression stamp(
        R"(_[0-9]{4}(-[0-9]{2}){3}(_[0-9]{2}){2}_[0-9]{3}\.json)");
    return texts.replaceInStrings(stamp, ".json");
}

// What two runs must have in common: their output without time stamps and progress steps (how
// many of those a run prints depends on its speed), the program's own path and the time in the
// names of backup files.
QStringList comparable(const ToolRun& run) {
    static const QRegularExpression progress(R"(^\[I\] (\S+: )?[0-9]+ %$)");
    QStringList lines;
    for (QString line : run.untimedLines()) {
        // dfu-util redraws its progress bar as time passes, so how often depends on the pace
        // the run had: only its last state is compared.
        const int bar = line.indexOf("\t[");
        if (bar > 0 && line.endsWith(" bytes")) {
            line = line.mid(line.lastIndexOf(line.left(bar + 2)));
        }
        if (!progress.match(line).hasMatch()) {
            lines << line.replace(UNITFLASH_SIM_BINARY, "unitflash")
                         .replace(UNITFLASH_BINARY, "unitflash");
        }
    }
    // The runs of an update with --all write side by side, in an order of their own.
    if (lines.filter("--all").size() > 0) {
        lines.sort();
    }
    return unstamped(lines);
}

// The installed product and dfu-util, on the system's libusb, under unitflash-usbfs: each row
// must end as the same command ends on the virtual libusb (unitflash-sim, or dfu-util on the
// drop-in library), with the same output, files and devices left behind.
TEST_F(Usbfs, TheSystemLibusbSeesWhatTheVirtualBusSees) {
    const QString umockdevRun = QStandardPaths::findExecutable("umockdev-run");
    if (umockdevRun.isEmpty() || runTool(umockdevRun, {"--", "true"}).exitCode != 0)
        GTEST_SKIP() << "umockdev cannot fake devices here";
    const QJsonObject loader{{"kind", "bootloader"}};
    const auto faults = [](const char* kind, const char* name, int value) {
        return unitAt("1.4", {{kind, QJsonObject{{name, value}}}});
    };
    const QStringList update{"firmware.dfu"};
    const QStringList noBackup{"--no-backup", "firmware.dfu"};
    const QJsonArray unit{unitAt("1.4")};
    const QJsonArray bootloader{unitAt("1.4", loader)};
    const size_t big = 0x100000;  // the erase goes on until a signal stops it
    const QString stopped = "[!] Update interrupted";
    const QString restored = "[I] Waiting for device restart to import old settings...";
    const QStringList download{"-a", "0", "-s", ":leave", "-D", "firmware.dfu"};
    const struct {
        const char* what;
        QJsonArray devices;
        QString program;  // empty: the product
        QStringList arguments;
        int exitCode;
        QString line;              // one the output must hold
        QString file;              // one the run writes
        size_t image = 48 * 1024;  // in firmware.dfu
        int signal = 0;  // sent at pace 1 once the erase begins; negative: to the process group
        const char* pace = "0.05";  // of the bridged run
    } rows[] = {
        {"list", {unitAt("1.4"), unitAt("2.3.1")}, {}, {"-l"}, 0, " Port path: 2.3.1", {}},
        {"export", {unitAt("1.4")}, {}, {"--export", "a.json"}, 0, {}, "a.json"},
        {"import", {unitAt("1.4")}, {}, {"--import", "edited.json"}, 0, {}, {}},
        // In real time: the boot loader holds a status request through each erase, up to the
        // 128 KiB sector's 1 s.
        {"default update", unit, {}, update, 0, restored, {}, 0x20800, 0, "1"},
        {"hang-up to the group while erasing", unit, {}, noBackup, 1, stopped, {}, big, -SIGHUP},
        {"Ctrl-C to the bridge alone", unit, {}, noBackup, 1, stopped, {}, big, SIGINT},
        {"resume", bootloader, {}, {"--resume"}, 0, {}, {}},
        // The runs of the units share the bridge's bus.
        {"every unit at once",
         {unitAt("1.4", {{"hardwareUid", "A"}}), unitAt("1.5", {{"hardwareUid", "B"}}),
          unitAt("1.6", {{"hardwareUid", "C"}})},
         {},
         {"--all", "firmware.dfu"},
         0,
         "[I] Summary of the update of 3 units with --all:",
         {}},
        // The catalogue takes the first 14 transfers; the 15th asks for the values.
        {"unit unplugged at transfer 15",
         {faults("faults", "unplugAtTransfer", 15)},
         {},
         {"--no-backup", "firmware.dfu"},
         1,
         "[!] Aborting update (unable to export settings before update): specify "
         "\"--discard-settings\" to update regardless",
         {}},
        {"stall", {faults("faults", "stallRequests", 1)}, {}, {"--export", "a.json"}, 0, {}, {}},
        // Later than the 5 s search, at the pace of the bridged run too.
        {"boot loader late",
         {unitAt("1.4", {{"bootloaderDelayMs", 400000}})},
         {},
         {"--no-backup", "firmware.dfu"},
         1,
         "[!] Cannot update device: no DFU device detected!",
         {}},
        {"boot loader unplugged while programming",
         {faults("bootloaderFaults", "unplugAtRequest", 40)},
         {},
         update,
         1,
         "[!] Error during DFU operation 4: 12340009",
         {}},
        {"dfu-util list", bootloader, "dfu-util", {"-l"}, 0, {}, {}},
        {"dfu-util download", bootloader, "dfu-util", download, 0, {}, {}, 16384, 0, "1"},
        {"dfu-util upload",
         bootloader,
         "dfu-util",
         {"-a", "0", "-s", "0x08000000:16384", "-U", "up.bin"},
         0,
         {},
         "up.bin"},
        // The chip stalls uploads of its memory; dfu-util names the error it got.
        {"dfu-util upload stalled",
         {unitAt("1.4", {{"kind", "bootloader"},
                         {"bootloaderFaults", QJsonObject{{"readProtected", true}}}})},
         "dfu-util",
         {"-a", "0", "-s", "0x08000000:16384", "-U", "up.bin"},
         74,
         {},
         "up.bin"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (!row.program.isEmpty() && QStandardPaths::findExecutable(row.program).isEmpty()) {
            ADD_FAILURE() << row.program.toStdString() << " is not installed";
            continue;
        }
        ToolRun runs[2];
        QByteArray written[2];
        QByteArray state[2];
        QStringList left[2];
        for (int bridged = 0; bridged < 2; ++bridged) {
            setDevices(row.devices);
            for (const QString& name : files()) {
                QFile::remove(path(name));
            }
            firmware("2.0.0", "firmware.dfu", row.image);
            if (row.arguments.contains("edited.json")) {
                ASSERT_EQ(run({"--export", "edited.json"}).exitCode, 0);
                write("edited.json", read("edited.json").replace("Bench 1", "Lab 7"));
            }
            const QStringList tool =
                bridged ? QStringList{UNITFLASH_USBFS_BINARY, "--", UNITFLASH_BINARY}
                        : QStringList{UNITFLASH_SIM_BINARY};
            if (row.signal != 0) {
                runs[bridged] =
                    runInterrupted(row.arguments, "] 0 %", {row.signal}, "setsid", false, {}, tool);
            } else {
                runs[bridged] =
                    row.program.isEmpty()
                        ? (bridged ? runBridged(UNITFLASH_BINARY, row.arguments, false, row.pace)
                                   : run(row.arguments))
                        : runBridged(row.program, row.arguments, !bridged,
                                     bridged ? row.pace : "0.05");
            }
            written[bridged] = row.file.isEmpty() ? QByteArray() : read(row.file);
            // Where a signal stops the erase depends on when it comes.
            state[bridged] = row.signal != 0 ? QByteArray() : deviceState();
            left[bridged] = unstamped(files());
        }
        const ToolRun& got = runs[1];
        const std::string output = (got.out + got.err).toStdString();
        EXPECT_EQ(got.exitCode, row.exitCode) << output;
        EXPECT_EQ(runs[0].exitCode, row.exitCode) << (runs[0].out + runs[0].err).toStdString();
        EXPECT_EQ(comparable(got), comparable(runs[0]));
        EXPECT_EQ(got.err, runs[0].err);
        EXPECT_TRUE(row.line.isEmpty() || comparable(got).contains(row.line)) << output;
        EXPECT_EQ(written[1], written[0]);
        EXPECT_EQ(state[1], state[0]);
        EXPECT_EQ(left[1], left[0]);
    }
}

}  // namespace
