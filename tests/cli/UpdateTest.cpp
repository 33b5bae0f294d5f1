#include <QFile>
#include <QRegularExpression>

#include "CliFixture.h"
#include "sim/DfuFileWriter.h"

namespace {

class Update : public CliTest {
  protected:
    // Gives the unit settings other than its factory ones, which it runs on but no longer has
    // stored: a unit restarted by the update comes back with its factory settings, and only
    // the tool's restore brings these back.
    void changeSettings() {
        write("changes.json",
              "{\"Location\": \"Lab 7\", \"Thresholds\": [5, 6], \"Output 3: gain\": 2.25}");
        ASSERT_EQ(run({"--import", "changes.json"}).exitCode, 0);
        forgetSavedSettings();
    }
    // A new unit at 1.4 with `extra` in its entry, and an empty working directory.
    void startOver(const QJsonObject& extra) {
        setDevices({unitAt("1.4", extra)});
        for (const QString& file : files()) {
            QFile::remove(path(file));
        }
    }
};

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

TEST_F(Update, DefaultRunBacksUpProgramsAndRestores) {
    // The unit's texts name the backup file; separators and control characters in them must
    // not lead it out of the working directory.
    const struct {
        QJsonObject texts;
        QString backupName;
    } cases[] = {
        {{}, "VIO 2.1_3276376E30340038"},
        {{{"vio", "VIO/../2.1\x01"}, {"hardwareUid", "..\\32\n76/"}}, "VIO_.._2.1__.._32_76_"},
    };
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
        EXPECT_EQ(exportedSettings(), withVersion(before, "2.0.0"));
    }
}

TEST_F(Update, NoBackupStillKeepsTheSettings) {
    changeSettings();
    const QByteArray before = exportedSettings();
    const ToolRun run = this->run({"--no-backup", firmware("2.0.0")});
    ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_FALSE(run.out.contains("backup settings"));
    EXPECT_EQ(files(), (QStringList{"changes.json", "firmware.dfu"}));
    EXPECT_EQ(exportedSettings(), withVersion(before, "2.0.0"));
}

TEST_F(Update, DiscardSettingsSkipsBackupAndRestore) {
    const ToolRun run = this->run({"-d", firmware("2.0.0")});
    ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_FALSE(run.out.contains("backup settings"));
    EXPECT_FALSE(run.out.contains("import old settings"));
    EXPECT_EQ(files(), QStringList{"firmware.dfu"});
    EXPECT_TRUE(exportedSettings().contains("\"Version: Firmware\": \"2.0.0\""));
}

TEST_F(Update, RejectsFilesThatAreNotDfuFiles) {
    write("firmware.DFU", "x");
    const ToolRun upper = run({"firmware.DFU"});
    EXPECT_EQ(upper.exitCode, 1);
    EXPECT_EQ(untimed(upper), (QStringList{"[W] Need a *.dfu file for firmware updates, but got:  "
                                           "\"firmware.DFU\"",
                                           "[!] Unable to perform update, invalid dfu file"}));
    const ToolRun missing = run({"sub/missing.dfu"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(untimed(missing), (QStringList{"[W] Can not read dfu file for firmware update:  "
                                             "\"missing.dfu\"",
                                             "[!] Unable to perform update, invalid dfu file"}));
    write("corrupt.dfu", "DfuSe but not really");
    const ToolRun corrupt = run({"corrupt.dfu", "--no-backup"});
    EXPECT_EQ(corrupt.exitCode, 1);
    EXPECT_EQ(untimed(corrupt), (QStringList{"[!] Error opening dfu file (corrupt.dfu): 0x12340010",
                                             "[!] Unable to perform update, invalid dfu file"}));
    // A refused file never gets near the flash: the unit still runs its old firmware.
    EXPECT_TRUE(exportedSettings().contains("\"Version: Firmware\": \"1.0.0\""));
}

TEST_F(Update, WithoutUnitTheBackupFailsAndNothingHappens) {
    setDevices({});
    const ToolRun run = this->run({firmware("2.0.0")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(
        untimed(run),
        (QStringList{"[I] Waiting for device connection to backup settings",
                     "[!] Unable to connect to device for setting backup! "
                     "(port: )",
                     "Available devices:", "[!] Unable to backup device settings, aborting!"}));
    EXPECT_EQ(files(), QStringList{"firmware.dfu"});
}

TEST_F(Update, WithoutUnitAndBackupItAbortsBeforeProgramming) {
    setDevices({});
    const ToolRun run = this->run({"--no-backup", firmware("2.0.0")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(untimed(run),
              (QStringList{"[I] Waiting for device to enter update mode...",
                           "[!] Aborting update (unable to export settings before update): "
                           "specify \"--discard-settings\" to update regardless",
                           "[!] Cannot return device to normal operation: no device in "
                           "update-mode detected!"}));
}

TEST_F(Update, NoDeviceInDfuModeIsReportedAfterLookingForSeconds) {
    setDevices({});
    const ToolRun run = this->run({"-d", firmware("2.0.0")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(untimed(run), (QStringList{"[I] Waiting for device to enter update mode...",
                                         "[!] Cannot update device: no DFU device detected!",
                                         "[!] Firmware update failed!"}));
}

TEST_F(Update, APortThatMatchesNoUnitLeavesTheUnitAlone) {
    const ToolRun run = this->run({"-d", "--port", "2", firmware("2.0.0")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(untimed(run),
              (QStringList{"[!] Unable to put desired device in update mode (port: 2)",
                           "Available devices:", " Port path: 1.4",
                           "[!] Cannot update device: no DFU device detected!",
                           "[!] Firmware update failed!"}));
    EXPECT_TRUE(exportedSettings().contains("\"Version: Firmware\": \"1.0.0\""));
}

TEST_F(Update, ABootLoaderThatEnumeratesSlowlyIsWaitedFor) {
    // The search goes on for 5 s after a 0.5 s pause; the boot loader comes 20 ms plus its
    // delay after the trigger.
    const struct {
        int delayMs;
        bool found;
    } cases[] = {{4500, true}, {20000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.delayMs);
        startOver({{"bootloaderDelayMs", c.delayMs}});
        const QByteArray before = exportedSettings();
        const ToolRun run = this->run({"--no-backup", firmware("2.0.0")});
        if (c.found) {
            ASSERT_EQ(run.exitCode, 0) << run.out.toStdString();
            EXPECT_EQ(exportedSettings(), withVersion(before, "2.0.0"));
        } else {
            // Beyond the search window the run fails, and the kept settings are saved.
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_TRUE(untimed(run).contains("[!] Cannot update device: no DFU device detected!"))
                << run.out.toStdString();
            EXPECT_EQ(backups(files()).size(), 1);
        }
    }
}

TEST_F(Update, AnEraseErrorStopsBeforeWriting) {
    setDevices({unitAt("1.4", {{"bootloaderFaults", QJsonObject{{"eraseError", true}}}})});
    const ToolRun run = this->run({firmware("2.0.0"), "--verbose"});
    EXPECT_EQ(run.exitCode, 1);
    const QStringList lines = untimed(run);
    EXPECT_TRUE(lines.contains("[D] Start erasing...")) << run.out.toStdString();
    EXPECT_TRUE(lines.contains("[!] erase operation failed."));
    EXPECT_FALSE(lines.contains("[D] Start upgrade..."));
    EXPECT_EQ(lines.last(), "[!] Firmware update failed!");
    // The backup file holds the settings; the chip waits in its boot loader.
    EXPECT_EQ(backups(files()).size(), 1);
    EXPECT_EQ(untimed(this->run({"-l"})), QStringList{"Available devices:"});
}

TEST_F(Update, AWriteErrorWithoutBackupSavesTheKeptSettings) {
    setDevices({unitAt("1.4", {{"bootloaderFaults", QJsonObject{{"writeError", true}}}})});
    const QByteArray before = exportedSettings();
    const ToolRun run = this->run({"--no-backup", firmware("2.0.0")});
    EXPECT_EQ(run.exitCode, 1);
    const QStringList lines = untimed(run);
    EXPECT_TRUE(lines.contains("[!] upgrade operation failed.")) << run.out.toStdString();
    const QStringList rescued = backups(files());
    ASSERT_EQ(rescued.size(), 1);
    EXPECT_EQ(read(rescued.first()), before);
    EXPECT_TRUE(lines.last().startsWith("[!] The settings read before the update were saved to \"" +
                                        rescued.first() + "\""));
    EXPECT_TRUE(lines.last().endsWith("--import"));
}

TEST_F(Update, AUnitThatDoesNotComeBackLeavesItsSettingsInAFile) {
    setDevices({unitAt("1.4")});
    const QByteArray before = exportedSettings();
    // An image without a version: the chip has nothing to start and stays in its boot loader.
    const std::vector<uint8_t> bytes =
        sim::buildDfuFile(0x08000000, std::vector<uint8_t>(4096, 0x5A));
    write("blank.dfu",
          QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size())));
    const ToolRun run = this->run({"--no-backup", "blank.dfu"});
    EXPECT_EQ(run.exitCode, 1);
    const QStringList lines = untimed(run);
    EXPECT_TRUE(lines.contains("[!] Unable to connect to device for setting import! (port: )"))
        << run.out.toStdString();
    const QStringList rescued = backups(files());
    ASSERT_EQ(rescued.size(), 1);
    EXPECT_EQ(read(rescued.first()), before);

    // Recovery: program a good image with the settings discarded, then import the file.
    ASSERT_EQ(this->run({"-d", firmware("2.0.0")}).exitCode, 0);
    ASSERT_EQ(this->run({"--import", rescued.first()}).exitCode, 0);
    EXPECT_EQ(exportedSettings(), withVersion(before, "2.0.0"));
}

TEST_F(Update, ResumeWithoutDeviceFails) {
    setDevices({});
    const ToolRun run = this->run({"--resume", "--verbose"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(untimed(run),
              (QStringList{"[D] device list: ()",
                           "[!] Cannot return device to normal operation: no device in "
                           "update-mode detected!"}));
}

TEST_F(Update, ResumeStartsTheFirmwareOfAnIdleBootloader) {
    setDevices({unitAt("1.4", {{"kind", "bootloader"}})});
    EXPECT_EQ(untimed(run({"-l"})), QStringList{"Available devices:"});
    const ToolRun run = this->run({"--resume", "--verbose"});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    const QStringList states = untimed(run).filter("dfu state:");
    EXPECT_EQ(states, QStringList{"[D] dfu state: 2"});
    EXPECT_TRUE(untimed(run).contains("[D] Return to normal operation complete!"));
    EXPECT_EQ(untimed(this->run({"-l"})), (QStringList{"Available devices:", " Port path: 1.4"}));
}

TEST_F(Update, ResumeClearsAnErrorStateFirst) {
    setDevices({unitAt("1.4", {{"kind", "bootloader"},
                               {"bootloaderFaults", QJsonObject{{"startInError", true}}}})});
    const ToolRun run = this->run({"--resume", "--verbose"});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_EQ(untimed(run).filter("dfu state:"),
              (QStringList{"[D] dfu state: 10", "[D] dfu state: 2"}));
}

}  // namespace
