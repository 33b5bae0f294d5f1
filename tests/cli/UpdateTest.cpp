#include <QFile>
#include <QRegularExpression>
#include <QThread>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <csignal>
#include <map>
#include <vector>

#include "CliFixture.h"
#include "sim/DfuFileWriter.h"

namespace {

class Update : public CliTest {
  protected:
    // Gives the unit settings other than its factory ones. An update erases the flash sector
    // that holds them, so only the tool's restore brings them back.
    void changeSettings() {
        write("changes.json",
              "{\"Location\": \"Lab 7\", \"Thresholds\": [5, 6], \"Output 3: gain\": 2.25}");
        ASSERT_EQ(run({"--import", "changes.json"}).exitCode, 0);
    }
    // A new unit at 1.4 with `extra` in its entry, and an empty working directory.
    void startOver(const QJsonObject& extra) {
        setDevices({unitAt("1.4", extra)});
        for (const QString& file : files()) {
            QFile::remove(path(file));
        }
    }

    // Runs the recovery commands a failed run printed, in their order, each line as the user's
    // shell reads it; false when there were none or one of them failed.
    bool followAdvice(const ToolRun& failed) {
        // With --all each unit's commands follow the summary, after the unit's place.
        const QStringList lines = untimed(failed);
        const QStringList commands =
            lines.mid(std::max(0, lines.lastIndexOf(QRegularExpression("\\[I\\] Summary.*"))))
                .filter(QRegularExpression(R"(^\[!\] (\S+: )?  \S)"));
        for (const QString& command : commands) {
            const ToolRun step = runLine(command.mid(command.indexOf("   ") + 3));
            if (step.exitCode != 0) {
                ADD_FAILURE() << command.toStdString() << "\n"
                              << step.out.toStdString() << step.err.toStdString();
                return false;
            }
        }
        return !commands.isEmpty();
    }

    // The firmware version and location of the unit on `port`, or "bootloader".
    QString unitOn(const QString& port) {
        if (run({"--export", "probe.json", "--port", port}).exitCode != 0) {
            return "bootloader";
        }
        // Settings files may hold NaN, which strict JSON parsers refuse.
        const QString text = QString::fromUtf8(read("probe.json"));
        QFile::remove(path("probe.json"));
        const QRegularExpression version(R"re("Version: Firmware": "([^"]*)")re");
        const QRegularExpression location(R"re("Location": "([^"]*)")re");
        return version.match(text).captured(1) + " " + location.match(text).captured(1);
    }
};

const QString kNoSettings =
    "[!] Aborting update (unable to export settings before update): specify "
    "\"--discard-settings\" to update regardless";
const QString kStamp = R"(_\d{4}-\d\d-\d\d-\d\d_\d\d_\d\d_\d{3}\.json$)";
const QRegularExpression kBackupName("^VIO 2\\.1_3276376E30340038" + kStamp);

QStringList backups(const QStringList& files) {
    return files.filter(kBackupName);
}

// The settings text as it should read once the unit runs `version`.
QByteArray withVersion(QByteArray settings, const QByteArray& version) {
    return settings.replace("\"Version: Firmware\": \"1.0.0\"",
                            "\"Version: Firmware\": \"" + version + "\"");
}

// Output lines without their time stamps and, in an update with --all, the unit's place.
QStringList withoutPlaces(const ToolRun& run) {
    return untimed(run).replaceInStrings(QRegularExpression(R"(^(\[.\]) \d+-[\d.]+: )"), "\\1 ");
}

TEST_F(Update, DefaultRunBacksUpProgramsAndRestores) {
    // The unit's texts name the backup file; separators and control characters in them must
    // not lead it out of the working directory, nor characters Windows refuses in names fail it.
    const struct {
        QJsonObject texts;
        QString backupName;
    } cases[] = {
        {{}, "VIO 2.1_3276376E30340038"},
        {{{"vio", "VIO/../2.1\x01"}, {"hardwareUid", "..\\32\n76/"}}, "VIO_.._2.1__.._32_76_"},
        {{{"vio", "VIO:2.1?"}, {"hardwareUid", "<32*76>|\""}}, "VIO_2.1___32_76___"},
    };
#ifndef _WIN32
    // A working directory everyone may write to, as /tmp: the backups are their owner's alone.
    ::chmod(QFile::encodeName(path(".")).constData(), 01777);
    const QFile::Permissions others = QFile::ReadGroup | QFile::ReadOther;
#else
    const QFile::Permissions others{};
#endif
    for (const auto& c : cases) {
        SCOPED_TRACE(c.backupName.toStdString());
        startOver(c.texts);
        changeSettings();
        const QByteArray before = exportedSettings();
        ASSERT_TRUE(before.contains("Lab 7"));

        const ToolRun run = this->run({firmware("2.0.0")});
        ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
        const QStringList lines = untimed(run);
        const QStringList milestones = {"[I] Waiting for device connection to backup settings",
                                        "[I] Waiting for device to enter update mode...",
                                        "[I] 0 %",
                                        "[I] 100 %",
                                        "[I] 0 %",
                                        "[I] 100 %",
                                        "[I] Waiting for device restart to import old settings..."};
        int at = 0;
        for (const QString& milestone : milestones) {
            at = lines.indexOf(milestone, at);
            ASSERT_GE(at, 0) << "missing " << milestone.toStdString() << "\n"
                             << run.out.toStdString();
        }
        EXPECT_EQ(lines.filter("[!]"), QStringList{});

        const QStringList written = files().filter(
            QRegularExpression("^" + QRegularExpression::escape(c.backupName) + kStamp));
        ASSERT_EQ(written.size(), 1) << files().join(", ").toStdString();
        EXPECT_EQ(files().size(), 3);  // the backup beside changes.json and firmware.dfu
        EXPECT_EQ(read(written.first()), before);
        EXPECT_EQ(QFile::permissions(path(written.first())) & others, 0);
        EXPECT_EQ(exportedSettings(), withVersion(before, "2.0.0"));
        // The last line says the run is done, what changed and where the backup is.
        EXPECT_EQ(lines.last(),
                  "[I] Update complete on port path 1.4: firmware 1.0.0 -> 2.0.0, "
                  "backup file \"" +
                      written.first() + "\"");
    }
}

// Without a backup file the settings are still kept and restored; discarded, they are not.
TEST_F(Update, TheSettingsOptionsSkipTheBackupAndTheRestore) {
    const struct {
        QString option;
        bool restored;
        QString versions;  // before and after, as the unit reported them
    } cases[] = {{"--no-backup", true, "1.0.0 -> 2.0.0"}, {"-d", false, "1.0.0 -> unknown"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option.toStdString());
        startOver({});
        changeSettings();
        const QByteArray before = exportedSettings();
        const ToolRun run = this->run({c.option, firmware("2.0.0")});
        ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
        EXPECT_FALSE(run.out.contains("backup settings"));
        EXPECT_EQ(run.out.contains("import old settings"), c.restored);
        EXPECT_EQ(untimed(run).last(),
                  "[I] Update complete on port path 1.4: firmware " + c.versions);
        EXPECT_EQ(files(), (QStringList{"changes.json", "firmware.dfu"}));
        const QByteArray after = exportedSettings();
        EXPECT_TRUE(after.contains("\"Version: Firmware\": \"2.0.0\""));
        EXPECT_EQ(after == withVersion(before, "2.0.0"), c.restored);
    }
}

TEST_F(Update, RejectsFilesThatAreNotDfuFiles) {
    write("firmware.DFU", "x");
    const std::pair<QString, QString> cases[] = {
        {"firmware.DFU", "[W] Need a *.dfu file for firmware updates, but got:  \"firmware.DFU\""},
        {"sub/missing.dfu", "[W] Can not read dfu file for firmware update:  \"missing.dfu\""}};
    for (const auto& [file, warning] : cases) {
        const ToolRun run = this->run({file});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(untimed(run),
                  (QStringList{warning, "[!] Unable to perform update, invalid dfu file"}));
    }
}

// A file that cannot be a firmware update never changes the unit: what the file alone shows is
// refused before the unit is touched, what needs the device's memory map before anything is
// erased, and the unit then goes back to its old firmware.
TEST_F(Update, RefusesImagesThatCannotBeAFirmwareUpdate) {
    const std::vector<uint8_t> code = sim::makeExampleFirmware("2.0.0");
    const std::vector<uint8_t> small(256, 0x11);
    const auto file = [](const std::vector<sim::DfuTarget>& targets, sim::DfuFileIds ids = {}) {
        const std::vector<uint8_t> bytes = sim::buildDfuFile(targets, ids);
        return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
    };
    const struct {
        const char* what;
        QByteArray content;
        bool refusedBeforeTrigger;
        QString reason;
    } cases[] = {
        {"no element", file({{0, "", {}}}), true,
         "[!] The image of the dfu file has no element: there is nothing to program"},
        {"overlap", file({{0, "", {{0x08000000, code}, {0x08000100, small}}}}), true,
         "[!] Element 1 at 0x08000100 overlaps element 0 at 0x08000000 (49152 bytes)"},
        {"empty element", file({{0, "", {{0x08000000, code}, {0x0800C000, {}}}}}), true,
         "[!] Element 1 at 0x0800c000 is empty: the dfu file is damaged"},
        {"another maker's device", file({{0, "", {{0x08000000, code}}}}, {0x1234, 0x5678}), true,
         "[!] The dfu file is made for a device of vendor 0x1234, not for this unit (0x6444) or "
         "its boot loader (0x0483): refusing to program it"},
        {"option bytes", file({{1, "", {{0x1FFFC000, {0xAA, 0xEF}}}}}), false,
         "[!] The image is for alternate setting 1 (\"Option Bytes\"), not the internal flash: "
         "refusing to program it"},
        {"outside flash", file({{0, "", {{0x08000000, code}, {0x080FFF80, small}}}}), false,
         "[!] Element 1 at 0x080fff80 (256 bytes) reaches 0x08100000, outside the writable "
         "sectors of the internal flash: refusing to program it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write("x.dfu", c.content);
        const ToolRun run = this->run({"x.dfu", "--no-backup"});
        EXPECT_EQ(run.exitCode, 1);
        const QStringList lines = untimed(run);
        EXPECT_TRUE(lines.contains(c.reason)) << run.out.toStdString();
        EXPECT_EQ(lines.contains("[I] Waiting for device to enter update mode..."),
                  !c.refusedBeforeTrigger);
        EXPECT_FALSE(run.out.contains(" %")) << "nothing was erased or written";
        EXPECT_EQ(lines.last() ==
                      "[!] The unit on port path 1.4 runs its old firmware with its "
                      "settings",
                  !c.refusedBeforeTrigger)
            << run.out.toStdString();
        EXPECT_EQ(unitOn("1.4"), "1.0.0 Bench 1");
    }
}

// With --skip-unchanged the flash ends byte for byte as after a normal update of the same image,
// which it reads first; the settings are backed up and restored as ever. A chip whose flash
// cannot be read gets the normal update (which fails on its read protection).
TEST_F(Update, SkipUnchangedEndsAsANormalUpdate) {
    const std::vector<uint8_t> full = sim::makeExampleFirmware("2.0.0", 0x40000, true);
    std::vector<uint8_t> oneChanged = full;
    oneChanged[0x12345] ^= 0x20;  // in the 64 KiB sector at 0x08010000
    const std::vector<uint8_t> shorter(full.begin(), full.begin() + 0x12000);  // ends in it
    const QString left =
        " of the %1 sectors the image covers already hold it and are left as they are";
    const QString unreadable =
        "[W] The flash cannot be read to compare it with the image (the chip "
        "is read-protected): every sector the image covers is erased and "
        "programmed";
    const struct {
        const char* what;
        std::vector<uint8_t> before, image;  // the unit runs `before` (empty: 1.0.0)
        bool readProtected;
        QString line;
    } cases[] = {
        {"identical", full, full, false, "[I] 5" + left.arg(6)},
        {"one sector changed", full, oneChanged, false, "[I] 4" + left.arg(6)},
        {"every sector changed", {}, full, false, "[I] 0" + left.arg(6)},
        {"shorter than the unit's firmware", full, shorter, false, "[I] 3" + left.arg(5)},
        {"read-protected", {}, full, true, unreadable},
    };
    const auto writeImage = [this](const QString& name, const std::vector<uint8_t>& image) {
        const std::vector<uint8_t> bytes = sim::buildDfuFile(0x08000000, image);
        write(name, QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())));
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QByteArray flashAfter[2];
        for (const bool skip : {false, true}) {
            startOver({{"bootloaderFaults", QJsonObject{{"readProtected", c.readProtected}}}});
            changeSettings();
            writeImage("before.dfu", c.before);
            ASSERT_TRUE(c.before.empty() || run({"--no-backup", "before.dfu"}).exitCode == 0);
            const QByteArray settings = exportedSettings();
            writeImage("image.dfu", c.image);
            const ToolRun run = this->run(skip ? QStringList{"--skip-unchanged", "image.dfu"}
                                               : QStringList{"image.dfu"});
            EXPECT_EQ(run.exitCode, c.readProtected ? 1 : 0) << run.out.toStdString();
            EXPECT_EQ(untimed(run).contains(c.line), skip) << run.out.toStdString();
            EXPECT_EQ(read(backups(files()).value(0)), settings);
            flashAfter[skip] = flash();
            EXPECT_TRUE(c.readProtected || exportedSettings() == withVersion(settings, "2.0.0"));
        }
        EXPECT_TRUE(flashAfter[0] == flashAfter[1]);
    }
}

// When the unit is not there (or not on the port asked for), each way of running the update
// ends without touching anything, saying why.
TEST_F(Update, WithoutTheUnitNothingIsTouched) {
    const auto unread = [](const QString& cause) {
        return "[!] The unit on port path 1.4 was found but its settings could not be read (" +
               cause +
               "): running this command again, or an update without --no-backup (which writes a "
               "backup first), keeps them, while --discard-settings loses them";
    };
    const struct {
        QJsonArray devices;
        QStringList options;
        QStringList expected;
    } cases[] = {
        {{},
         {},
         {"[I] Waiting for device connection to backup settings",
          "[!] Unable to connect to device for setting backup! (port: )",
          "Available devices:", "[!] Unable to backup device settings, aborting!"}},
        {{},
         {"--no-backup"},
         {"[I] Waiting for device to enter update mode...", kNoSettings,
          "[!] Cannot return device to normal operation: no device in update-mode detected!"}},
        {{},
         {"-d"},
         {"[I] Waiting for device to enter update mode...",
          "[!] Cannot update device: no DFU device detected!", "[!] Firmware update failed!"}},
        {{unitAt("1.4", {{"faults", QJsonObject{{"denyOpen", true}}}}),
          unitAt("2.1", {{"kind", "bootloader"}})},
         {"-d"},
         {"[!] The unit on port path 1.4 was found but cannot be opened (LIBUSB_ERROR_ACCESS: "
          "Access denied (insufficient permissions)): " +
          QString(kOpenAdvice)}},
        // A unit found but not read is named with what keeps its settings; no boot loader but
        // its own is touched, others are named with the command that starts them.
        {{unitAt("1.4", {{"faults", QJsonObject{{"unplugAtTransfer", 12}}}})},
         {"--no-backup"},
         {"[I] Waiting for device to enter update mode...", kNoSettings,
          unread("LIBUSB_ERROR_NO_DEVICE: No such device (it may have been disconnected)")}},
        {{unitAt("1.4", {{"faults", QJsonObject{{"stallRequests", 1}}}}),
          unitAt("1.3", {{"kind", "bootloader"}})},
         {"--no-backup"},
         {"[I] Waiting for device to enter update mode...", kNoSettings,
          unread("LIBUSB_ERROR_PIPE: Pipe error"),
          "[W] The boot loader on port path 1.3 was left alone, as it may be another unit's; to "
          "start its firmware, run: unitflash --resume --port 1.3"}},
        {{unitAt("1.4", {{"kind", "bootloader"}})},
         {"--all"},
         {"[!] No unit to update is attached (port: , name: \"\"): nothing was updated",
          "Available devices:",
          "[W] The boot loader on port path 1-1.4 is left alone (--all updates units in normal "
          "operation); to program it alone, run: unitflash --port 1-1.4 "
          "--discard-settings firmware.dfu"}},
        {{unitAt("1.4")},
         {"-d", "--port", "2"},
         {"[!] Unable to put desired device in update mode (port: 2)", "Available devices:",
          " Port path: 1.4", "[!] Cannot update device: no DFU device detected!",
          "[!] No DFU device on port path 2 (DFU devices present on: none)",
          "[!] Firmware update failed!"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.join(' ').toStdString());
        setDevices(c.devices);
        const ToolRun run = this->run(c.options + QStringList{firmware("2.0.0")});
        EXPECT_EQ(run.exitCode, 1);
        // The tool as the advice names it.
        EXPECT_EQ(untimed(run).replaceInStrings(QRegularExpression("run: .*unitflash-sim\\S* "),
                                                "run: unitflash "),
                  c.expected);
        EXPECT_EQ(files(), QStringList{"firmware.dfu"});
    }
    EXPECT_TRUE(exportedSettings().contains("\"Version: Firmware\": \"1.0.0\""));
}

TEST_F(Update, ABootLoaderThatEnumeratesSlowlyIsWaitedFor) {
    // The search goes on for 5 s after a 0.5 s pause; the boot loader comes 20 ms plus its
    // delay after the trigger, and may be listed before udev lets it be opened.
    const auto late = [](int delayMs, int denyOpenMs) {
        return QJsonObject{{"bootloaderDelayMs", delayMs},
                           {"bootloaderFaults", QJsonObject{{"denyOpenMs", denyOpenMs}}}};
    };
    const struct {
        QJsonObject extra;
        QString failure;  // empty: found in time
    } cases[] = {
        {late(4500, 0), ""},
        {late(300, 4000), ""},
        {late(20000, 0), "[!] Cannot update device: no DFU device detected!"},
        {late(300, 20000), "[!] unable to create mapping"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(QJsonDocument(c.extra).toJson().toStdString());
        startOver(c.extra);
        const QByteArray before = exportedSettings();
        const ToolRun run = this->run({"--no-backup", "--verbose", firmware("2.0.0")});
        // Named once by the search, once more by the leave; not on every look.
        EXPECT_LE(untimed(run).filter("Found DFU device:").size(), 2);
        if (c.failure.isEmpty()) {
            ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
            EXPECT_EQ(exportedSettings(), withVersion(before, "2.0.0"));
        } else {
            // Beyond the search window the run fails, and the kept settings are saved.
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_TRUE(untimed(run).contains(c.failure)) << run.out.toStdString();
            EXPECT_EQ(backups(files()).size(), 1);
        }
    }
}

// A failed erase never goes on to programming. The settings stay in a file (the backup, or one
// written for the purpose), the run says what state the unit is in, and the commands it prints
// bring the unit back whole.
TEST_F(Update, AFailedProgrammingSaysHowToRecover) {
    const struct {
        QJsonObject faults;
        QStringList options;
        QString failure;
        QString state;
    } cases[] = {
        {{{"eraseError", true}}, {}, "[!] erase operation failed.", "its firmware possibly erased"},
        {{{"writeError", true}},
         {"--no-backup"},
         "[!] upgrade operation failed.",
         "its firmware possibly erased"},
        // The cable is pulled while the boot loader is being left (its requests 127 to 132).
        {{{"unplugAtRequest", 129}},
         {"--no-backup"},
         "[!] Failed to resume normal operation!",
         "the new firmware written"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failure.toStdString());
        setDevices({unitAt("1.4", {{"bootloaderFaults", c.faults}})});
        changeSettings();
        const QByteArray before = exportedSettings();
        // A file name that a shell reads otherwise unless the advice quotes it: /bin/sh takes
        // the brackets for a subshell, cmd.exe expands %PATH% even between double quotes.
        const ToolRun run =
            this->run(c.options + QStringList{"--verbose", firmware("2.0.0", "fw(2)%PATH%.dfu")});
        EXPECT_EQ(run.exitCode, 1);
        const QStringList lines = untimed(run);
        EXPECT_TRUE(lines.contains("[D] Start erasing...")) << run.out.toStdString();
        EXPECT_TRUE(lines.contains(c.failure));
        EXPECT_EQ(lines.contains("[D] Start upgrade..."), !c.failure.contains("erase"));
        const QStringList kept = backups(files());
        ASSERT_EQ(kept.size(), 1);
        EXPECT_EQ(read(kept.first()), before);
        EXPECT_TRUE(run.out.contains(
            "] The unit on port path 1.4 is left in its boot loader with " + c.state))
            << run.out.toStdString();
        EXPECT_EQ(unitOn("1.4"), "bootloader");
        if (c.faults.contains("unplugAtRequest")) {
            QFile::remove(path(kept.first()));
            continue;  // the cable stays pulled
        }

        setDevices({unitAt("1.4")}, true, true);
        EXPECT_TRUE(followAdvice(run));
        EXPECT_EQ(exportedSettings(), withVersion(before, "2.0.0"));
        QFile::remove(path(kept.first()));
    }
}

// A unit that does not come back, or comes back but cannot be read, leaves its settings in a
// file; the run tells the two apart, and its advice makes the unit whole.
TEST_F(Update, AUnitThatDoesNotComeBackLeavesItsSettingsInAFile) {
    // An image without a version: the chip has nothing to start and stays in its boot loader.
    const std::vector<uint8_t> bytes =
        sim::buildDfuFile(0x08000000, std::vector<uint8_t>(4096, 0x5A));
    const struct {
        const char* what;
        QJsonObject faults;
        QString state;
    } cases[] = {
        {"no firmware to start",
         {},
         "did not come back after the update; if it sits in its boot loader, its new firmware "
         "does not start and it needs a firmware file that does."},
        {"unreadable after the update",
         {{"corruptChecksums", 1000000}, {"afterRestarts", 1}},
         "runs the new firmware without its old settings."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        startOver({{"faults", c.faults}});
        const QByteArray before = exportedSettings();
        write("blank.dfu", QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                      static_cast<int>(bytes.size())));
        if (!c.faults.isEmpty()) {
            firmware("2.0.0", "blank.dfu");
        }
        const ToolRun run = this->run({"--no-backup", "blank.dfu"});
        EXPECT_EQ(run.exitCode, 1);
        const QStringList lines = untimed(run);
        const int failure =
            lines.indexOf("[!] Unable to connect to device for setting import! (port: )");
        EXPECT_EQ(lines.value(failure + 1), "[!] The unit looked for is on port path 1.4")
            << run.out.toStdString();
        const QStringList rescued = backups(files());
        ASSERT_EQ(rescued.size(), 1);
        EXPECT_EQ(read(rescued.first()), before);
        EXPECT_TRUE(lines.contains("[!] The unit on port path 1.4 " + c.state +
                                   " To recover it, run these commands in this order:"))
            << run.out.toStdString();

        // The advice, with a firmware file that starts and a unit that can be read.
        firmware("2.0.0", "blank.dfu");
        setDevices({unitAt("1.4")}, true, true);
        EXPECT_TRUE(followAdvice(run));
        EXPECT_EQ(exportedSettings(), withVersion(before, "2.0.0"));
    }
}

// --resume acts on a boot loader in any state, and with --port only on the one there.
TEST_F(Update, ResumeStartsTheChosenBootLoader) {
    // A boot loader just out of reset reports dfuERROR; one that was cleared, dfuIDLE.
    const QJsonObject cleared = unitAt(
        "1.4",
        {{"kind", "bootloader"}, {"bootloaderFaults", QJsonObject{{"startInError", false}}}});
    const QJsonObject loader = unitAt("1.4", {{"kind", "bootloader"}});
    const QJsonObject second = unitAt("2.1", {{"kind", "bootloader"}});
    const struct {
        const char* what;
        QJsonArray devices;
        QStringList options;
        QStringList expected;  // lines in this order
        QString on14, on21;
    } cases[] = {
        {"none",
         {},
         {},
         {"[D] device list: ()",
          "[!] Cannot return device to normal operation: no device in update-mode detected!"},
         "bootloader",
         "bootloader"},
        {"idle",
         {cleared},
         {},
         {"[D] dfu state: 2", "[D] Return to normal operation complete!"},
         "1.0.0 Bench 1",
         "bootloader"},
        {"in error",
         {loader},
         {},
         {"[D] dfu state: 10", "[D] dfu state: 2", "[D] Return to normal operation complete!"},
         "1.0.0 Bench 1",
         "bootloader"},
        {"another port",
         {loader},
         {"--port", "2.1"},
         {"[!] Cannot return device to normal operation: no device in update-mode detected!",
          "[!] No DFU device on port path 2.1 (DFU devices present on: 1.4)"},
         "bootloader",
         "bootloader"},
        {"the chosen one of two, by a prefix of its port path",
         {loader, second},
         {"--port", "2"},
         {"[D] dfu state: 10", "[D] dfu state: 2", "[D] Return to normal operation complete!"},
         "bootloader",
         "1.0.0 Bench 1"},
        {"the first of two, said so",
         {loader, second},
         {},
         {"[W] 2 devices are in DFU mode; using the one on port path 1.4 (choose another with "
          "--port)",
          "[D] dfu state: 10", "[D] dfu state: 2", "[D] Return to normal operation complete!"},
         "1.0.0 Bench 1",
         "bootloader"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        setDevices(c.devices);
        const ToolRun run = this->run(c.options + QStringList{"--resume", "--verbose"});
        EXPECT_EQ(run.exitCode, c.expected.last().startsWith("[!]") ? 1 : 0);
        const QStringList lines = untimed(run).filter(
            QRegularExpression("dfu state|device list: \\(\\)|complete|^\\[[!W]\\]"));
        EXPECT_EQ(lines, c.expected) << run.out.toStdString();
        EXPECT_EQ(unitOn("1.4"), c.on14);
        EXPECT_EQ(unitOn("2.1"), c.on21);
    }
}

// On a bench with several units, every step of a run (trigger, boot loader, leave, restore)
// works on the unit the run began with, also when another bus has a unit at the same port path.
// With --all every unit is updated in a run of its own, each with its own backup file.
TEST_F(Update, EveryStepStaysWithTheUnitTheRunBeganWith) {
    const QJsonObject unitA = unitAt("1.4");
    const QJsonObject unitB = unitAt("2.1", {{"settings", QJsonObject{{"Location", "Unit B"}}}});
    const QJsonObject loaderA = unitAt("1.4", {{"kind", "bootloader"}});
    const QJsonObject twinB =
        unitAt("1.4", {{"bus", 2}, {"settings", QJsonObject{{"Location", "Unit B"}}}});
    const QJsonObject lateA = unitAt("1.4", {{"bootloaderDelayMs", 3000}});
    const QJsonObject twinLoader = unitAt("1.4", {{"bus", 2}, {"kind", "bootloader"}});
    const auto own = [](const QString& port, const char* uid, const QJsonObject& extra = {}) {
        QJsonObject unit = unitAt(port, extra);
        unit.insert("hardwareUid", uid);
        return unit;
    };
    const QJsonObject unplugged =
        own("2.1", "B2", {{"bootloaderFaults", QJsonObject{{"unplugAtRequest", 40}}}});
    const QString severalOnBuses =
        "[W] Several units are attached (2-1.4, 1-1.4); using the one on port path 1.4 (bus 2) "
        "(choose another with --port and its bus, such as --port 1-1.4)";
    const struct {
        const char* what;
        QJsonArray devices;
        QStringList options;
        QStringList on;  // what each device ends as: firmware version and location
        QString warning;
        // From the first error on, when the unit's place already holds its boot loader: nothing
        // to trigger, nothing to wait for.
        QStringList untriggered = {};
        QString failed = {};  // with --all, the state of the unit that failed, after the summary
    } cases[] = {
        {"the first unit by default",
         {unitA, unitB},
         {},
         {"1.0.0 Unit A", "2.0.0 Unit B"},
         "[W] Several units are attached; using the one on port path 2.1 (choose another with "
         "--port)"},
        {"the chosen unit, with a boot loader elsewhere",
         {loaderA, unitB},
         {"--port", "2.1"},
         {"bootloader", "2.0.0 Unit B"},
         ""},
        {"the only unit of that name",
         {unitA, unitAt("2.1", {{"product", "Other"}, {"settings", unitB["settings"]}})},
         {"-n", "Quorel Control Unit"},
         {"2.0.0 Unit A", "1.0.0 Unit B"},
         ""},
        {"the first bus", {unitA, twinB}, {}, {"1.0.0 Unit A", "2.0.0 Unit B"}, severalOnBuses},
        {"the first bus of a port path",
         {unitA, twinB},
         {"--port", "1.4"},
         {"1.0.0 Unit A", "2.0.0 Unit B"},
         severalOnBuses},
        {"already in its boot loader, chosen by port",
         {loaderA, unitB},
         {"--port", "1.4", "-d"},
         {"2.0.0 Bench 1", "1.0.0 Unit B"},
         "",
         {"[!] Unable to put desired device in update mode (port: 1.4)",
          "Available devices:", " Port path: 2.1",
          "[I] The unit on port path 1.4 is already in its boot loader and will be programmed",
          "[I] 0 %"}},
        {"the chosen bus",
         {unitA, twinB},
         {"--port", "2-1.4"},
         {"1.0.0 Unit A", "2.0.0 Unit B"},
         ""},
        {"a late boot loader, another bus's one present",
         {lateA, twinLoader},
         {},
         {"2.0.0 Unit A", "bootloader"},
         ""},
        {"every unit",
         {own("1.4", "A1"), own("2.1", "B1"), own("1.6", "C1")},
         {"--all"},
         {"2.0.0 Unit A", "2.0.0 Unit B", "2.0.0 Unit C"},
         ""},
        {"every unit of that name",
         {own("1.4", "A3"), own("2.1", "B3", {{"product", "Other"}}), own("1.6", "C3")},
         {"--all", "-n", "Quorel Control Unit"},
         {"2.0.0 Unit A", "1.0.0 Unit B", "2.0.0 Unit C"},
         ""},
        {"every unit, one boot loader unplugged while programming",
         {own("1.4", "A2"), unplugged, own("1.6", "C2")},
         {"--all"},
         {"2.0.0 Unit A", "bootloader", "2.0.0 Unit C"},
         "",
         {},
         "[!] The unit on port path 1-2.1 is left in its boot loader with its firmware possibly "
         "erased or partly written. To recover it, run these commands in this order:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        setDevices(c.devices);
        QStringList places;
        for (const QJsonValue& device : c.devices) {
            places << QString("%1-%2").arg(device["bus"].toInt(1)).arg(device["port"].toString());
            const QString location =
                QString("{\"Location\": \"Unit %1\"}").arg(QChar('A' + places.size() - 1));
            write("a.json", location.toUtf8());
            if (device["kind"] != "bootloader") {
                ASSERT_EQ(run({"--import", "a.json", "--port", places.last()}).exitCode, 0);
            }
        }
        const ToolRun run = this->run(c.options + QStringList{firmware("2.0.0")});
        EXPECT_EQ(run.exitCode, c.failed.isEmpty() ? 0 : 1) << run.out.toStdString();
        const QStringList lines = withoutPlaces(run);
        EXPECT_TRUE(!c.failed.isEmpty() || lines.filter("[!]") == c.untriggered.filter("[!]"));
        const int error = lines.indexOf(QRegularExpression("\\[!\\] .*"));  // whole lines
        EXPECT_EQ(lines.mid(error, error < 0 ? 0 : c.untriggered.size()), c.untriggered);
        EXPECT_EQ(lines.contains("[I] Waiting for device to enter update mode..."),
                  c.untriggered.isEmpty());
        EXPECT_EQ(untimed(run).filter("[W] Several units"),
                  c.warning.isEmpty() ? QStringList{} : QStringList{c.warning});
        const int summary = lines.indexOf(QRegularExpression("\\[I\\] Summary.*"));
        EXPECT_TRUE(c.failed.isEmpty() || lines.lastIndexOf(c.failed) > summary)
            << run.out.toStdString();
        // A unit not updated is summed up with its firmware and the file holding its settings.
        const QRegularExpressionMatch kept =
            QRegularExpression(R"re(\[!\] not updated, firmware 1\.0\.0, settings in "(.+)"; )re")
                .match(lines.join('\n'));
        EXPECT_EQ(kept.hasMatch() && files().contains(kept.captured(1)), !c.failed.isEmpty());
        for (int i = 0; i < places.size(); ++i) {
            EXPECT_EQ(unitOn(places[i]), c.on[i]);
            // Each unit updated with --all has its own backup file, of its own settings.
            if (c.options.contains("--all") && c.on[i].startsWith("2")) {
                const QStringList backup = files().filter(c.devices[i]["hardwareUid"].toString());
                ASSERT_EQ(backup.size(), 1);
                EXPECT_TRUE(read(backup.first()).contains(c.on[i].mid(6).toUtf8()));
            }
        }
    }
}

#ifndef _WIN32
// Signals, an unprivileged user, resource limits and closed pipes: Linux only (wine has no
// signals for console programs, and its pipes do not report a reader that has gone).

// Ctrl-C, SIGTERM or a hang-up stops the run at its next safe point: the settings are kept in a
// file, the run names the unit's state, and the commands it prints make the unit whole.
TEST_F(Update, AnInterruptedRunLeavesTheUnitRecoverable) {
    const struct {
        const char* what;
        QJsonArray devices;
        QStringList options;
        QString waitFor;
        std::vector<int> toSend;
        QString state;              // what the run says of the unit
        const char* stateAfter;     // firmware version after the advice; empty: the run ended early
        bool readerLeaves = false;  // the reader of standard output goes before the signal
        size_t firmwareSize = 0x100000;
    } cases[] = {
        {"before the unit is changed",
         {unitAt("1.4", {{"faults", QJsonObject{{"denyOpen", true}}}})},
         {"--verbose"},
         "Waiting for device connection to backup settings",
         {SIGHUP},
         "before the unit was changed",
         ""},
        {"while the boot loader is awaited",
         {unitAt("1.4", {{"bootloaderDelayMs", 3000}})},
         {},
         "Waiting for device to enter update mode...",
         {SIGTERM},
         "is in its boot loader (or on its way there) with its firmware unchanged",
         "1.0.0"},
        // The boot loader asks for 3 s after its first address command, so the compare runs then.
        {"while comparing",
         {unitAt("1.4", {{"bootloaderFaults", QJsonObject{{"busyPollMs", 3000}}}})},
         {"--no-backup", "--skip-unchanged"},
         "] 0 %",
         {SIGINT},
         "is in its boot loader (or on its way there) with its firmware unchanged",
         "1.0.0"},
        {"while erasing",
         {unitAt("1.4")},
         {"--no-backup"},
         "] 0 %",
         {SIGINT},
         "is left in its boot loader with its firmware possibly erased or partly written",
         "2.0.0"},
        // A `| tee` that the same Ctrl-C ended: what the person must know goes to stderr.
        {"while erasing, into a pipe whose reader has gone",
         {unitAt("1.4")},
         {"--no-backup"},
         "] 0 %",
         {SIGINT},
         "is left in its boot loader with its firmware possibly erased or partly written",
         "2.0.0",
         true},
        // The new firmware takes its time to start: the unit is restarting, not lost.
        {"while the unit restarts",
         {unitAt("1.4", {{"bootloaderTiming", QJsonObject{{"restartMs", 2500}}}})},
         {"--no-backup"},
         "Waiting for device restart to import old settings...",
         {SIGTERM},
         "runs the new firmware without its old settings",
         "2.0.0",
         false,
         48 * 1024},
        // Each unit of an update with --all stops and is recovered with the commands it printed.
        {"while every unit is erasing",
         {unitAt("1.4"), unitAt("1.5", {{"hardwareUid", "B"}}),
          unitAt("1.6", {{"hardwareUid", "C"}})},
         {"--all"},
         ": 25 %",
         {SIGINT},
         "is left in its boot loader with its firmware possibly erased or partly written",
         "2.0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        setDevices(c.devices);
        const ToolRun both =
            runInterrupted(c.options + QStringList{firmware("2.0.0", "big.dfu", c.firmwareSize)},
                           c.waitFor, c.toSend, {}, c.readerLeaves);
        EXPECT_EQ(both.err.isEmpty(), !c.readerLeaves) << both.err.toStdString();
        const ToolRun run = c.readerLeaves ? ToolRun{both.exitCode, both.err, {}} : both;
        EXPECT_EQ(run.exitCode, 1) << run.out.toStdString();
        const Lines lines = withoutPlaces(run);
        EXPECT_TRUE(run.out.contains(c.state)) << run.out.toStdString();
        // With --all each unit shows at most one progress line per 10 % of an operation.
        std::map<QString, int> shown;
        for (const QString& line :
             untimed(run).filter(QRegularExpression(R"(^\[I\] \S+: \d+ %$)"))) {
            const int percent = line.section(' ', 2, 2).toInt();
            const auto last = shown.find(line.section(' ', 1, 1));
            EXPECT_TRUE(last == shown.end() || percent < last->second ||
                        percent / 10 > last->second / 10)
                << line.toStdString();
            shown[line.section(' ', 1, 1)] = percent;
        }
        // A wait for the unit ends at the signal, well before its 200 attempts.
        EXPECT_LT(lines.filter("trying to connect").size(), 100);
        if (*c.stateAfter == 0) {
            EXPECT_EQ(lines.last(),
                      "[!] Update interrupted before the unit was changed: its "
                      "firmware and settings are as they were");
            continue;
        }
        EXPECT_TRUE(lines.contains("[!] Update interrupted")) << run.out.toStdString();
        EXPECT_EQ(backups(files()).size(), 1);
        setDevices(c.devices.size() > 1 ? c.devices : QJsonArray{unitAt("1.4")}, true, true);
        EXPECT_TRUE(followAdvice(run));
        for (const QJsonValue& device : c.devices) {
            EXPECT_EQ(unitOn(device["port"].toString()), QString(c.stateAfter) + " Bench 1");
        }
        for (const QString& backup : backups(files())) {
            QFile::remove(path(backup));
        }
    }
}

// Settings that exist only in memory go to the working directory, else to the temporary
// directory, else into the log: they are never dropped.
TEST_F(Update, KeptSettingsAreNeverDropped) {
    const QString temporary = QDir::cleanPath(path("../tmp"));
    const struct {
        const char* where;
        bool unprivileged;  // the working directory is read-only
        QString preamble;   // for the shell run
    } cases[] = {
        {"temporary directory", true, ""},
        {"log", false, "trap '' XFSZ; ulimit -f 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        setDevices({unitAt("1.4", {{"bootloaderFaults", QJsonObject{{"writeError", true}}}})});
        changeSettings();
        const QByteArray before = exportedSettings();
        const QStringList arguments{"--no-backup", firmware("2.0.0")};
        const ToolRun run = c.unprivileged ? runUnprivileged(arguments, temporary)
                                           : runInShell(c.preamble, arguments);
        ASSERT_EQ(run.exitCode, 1) << run.out.toStdString();
        EXPECT_TRUE(backups(files()).isEmpty());
        const QStringList rescued = backups(QDir(temporary).entryList(QDir::Files));
        if (c.unprivileged) {
            ASSERT_EQ(rescued.size(), 1) << run.out.toStdString();
            const QString file = QDir(temporary).filePath(rescued.first());
            // Every user may write to the folder; only the owner may read the settings.
            EXPECT_EQ(QFile::permissions(file) & (QFile::ReadGroup | QFile::ReadOther), 0);
            EXPECT_TRUE(untimed(run).contains(
                "[!] The settings read before the update were saved to \"" + file + "\""));
            QFile saved(file);
            ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
            EXPECT_EQ(saved.readAll(), before);
            EXPECT_TRUE(run.out.contains(" --import '" + file + "'")) << run.out.toStdString();
            saved.remove();
        } else {
            EXPECT_TRUE(rescued.isEmpty());
            EXPECT_TRUE(
                untimed(run).join('\n').contains("[!] Unable to write file for setting rescue:"));
            EXPECT_TRUE(run.out.contains(QString::fromUtf8(before))) << run.out.toStdString();
        }
    }
}

// A run keeps off a unit that another run works on and touches nothing there: the lock of the
// unit's place stops another run of the tool, the boot loader's claim any other program.
TEST_F(Update, ASecondRunLeavesAUnitInUseAlone) {
    setDevices({unitAt("1.4", {{"bootloaderFaults", QJsonObject{{"busyPollMs", 600000}}}})});
    const struct {
        const char* what;
        QString preamble;
        QStringList arguments;
        QStringList said;
    } cases[] = {
        {"an update", ":", {"--no-backup", firmware("2.0.0")}, {inUseOn14("unit")}},
        {"a resume", ":", {"--resume"}, {inUseOn14("boot loader")}},
        {"a resume that sees no lock",
         "export TMPDIR=" + path("."),
         {"--resume", "--port", "1.4"},
         {"[!] unable to select cfg!",
          "[!] device in use by another program: USB-BUS1-PORT1.4-IF0: claiming the interface: "
          "LIBUSB_ERROR_BUSY",
          "[!] Another program (another run of this tool, say) works with this boot loader; "
          "nothing was done to it. Wait until that program has finished, then run this command "
          "again."}},
    };
    const auto secondRuns = [&] {
        // Once the first run waits out its erase (dfuDNBUSY), the devices change no more.
        for (int i = 0; i < 1000 && !deviceState().contains("\"dfuState\": 4,"); ++i) {
            QThread::msleep(10);
        }
        const QByteArray state = deviceState();
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            const ToolRun run = runInShell(c.preamble, c.arguments);
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_EQ(untimed(run), c.said) << run.out.toStdString();
        }
        EXPECT_EQ(deviceState(), state);
    };
    // The first run waits in its erase for as long as the test may take.
    const ToolRun first = runInterrupted({"--no-backup", firmware("2.0.0")}, "] 0 %", {SIGKILL}, {},
                                         false, secondRuns);
    EXPECT_EQ(first.exitCode, -1) << first.out.toStdString();
    EXPECT_EQ(unitOn("1.4"), "bootloader");  // nobody made it leave
}

// A second signal does not wait for a safe point.
TEST_F(Update, ASecondSignalEndsTheRunAtOnce) {
    setDevices({unitAt("1.4", {{"faults", QJsonObject{{"denyOpen", true}}}})});
    const ToolRun run = runInterrupted({firmware("2.0.0")},
                                       "Waiting for device connection to "
                                       "backup settings",
                                       {SIGINT, SIGTERM});
    EXPECT_EQ(run.exitCode, -1) << run.out.toStdString();
    EXPECT_EQ(untimed(run), QStringList{"[I] Waiting for device connection to backup settings"});
}

// Under nohup the hang-up stays ignored: the run goes on to its end.
TEST_F(Update, UnderNohupAHangUpIsIgnored) {
    const ToolRun run =
        runInterrupted({"--no-backup", firmware("2.0.0")}, "] 0 %", {SIGHUP}, "nohup");
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
}

// A reader that goes away (a pipe into `head -1`) does not stop the run half-way.
TEST_F(Update, AClosedOutputDoesNotStopTheRun) {
    changeSettings();
    const QByteArray before = exportedSettings();
    EXPECT_EQ(runIntoClosedPipe({"--verbose", "--no-backup", firmware("2.0.0")}), 0);
    EXPECT_EQ(exportedSettings(), withVersion(before, "2.0.0"));
    EXPECT_EQ(runIntoClosedPipe({"--list-devices"}), 0);
}
#endif

}  // namespace
