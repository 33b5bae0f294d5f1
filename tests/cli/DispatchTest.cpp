#include "CliFixture.h"

namespace {

using Dispatch = CliTest;

TEST_F(Dispatch, ResumeBeatsExportImportAndUpdate) {
    setDevices({});
    const ToolRun run =
        this->run({"--export", "a.json", "--import", "b.json", "--resume", firmware("2.0.0")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(untimed(run), QStringList{"[!] Cannot return device to normal operation: no device "
                                        "in update-mode detected!"});
}

TEST_F(Dispatch, ExportBeatsImportAndUpdate) {
    write("b.json", "{}");
    const ToolRun run = this->run({firmware("2.0.0"), "--import", "b.json", "--export", "a.json"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(untimed(run).first(),
              "[I] Waiting for device connection to export settings, to file:");
    EXPECT_EQ(files(), (QStringList{"a.json", "b.json", "firmware.dfu"}));
}

TEST_F(Dispatch, ImportBeatsUpdate) {
    const ToolRun run = this->run({firmware("2.0.0"), "--import", "missing.json"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(untimed(run).first(), "[!] Unable to import settings, file does not exist:");
}

TEST_F(Dispatch, VerboseAfterTheFileNameCounts) {
    const ToolRun run = this->run({"x.txt", "second.dfu", "--verbose"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(untimed(run), (QStringList{"[W] Need a *.dfu file for firmware updates, but got:  "
                                         "\"x.txt\"",
                                         "[!] Unable to perform update, invalid dfu file"}));
    const ToolRun verbose = this->run({"--port", "", firmware("2.0.0"), "--verbose", "-d"});
    EXPECT_TRUE(untimed(verbose).contains("[D] No port path specified"));
}

// A --port text that is no port path ends every command that takes a port before any unit is
// touched, instead of widening it to any unit.
TEST_F(Dispatch, AMalformedPortStopsEveryCommandThatTakesOne) {
    write("a.json", "{\"Location\": \"Elsewhere\"}");
    const QString dfu = firmware("2.0.0");
    // Numbers beyond a byte or with text after them would otherwise name the unit at 1.4.
    const std::pair<QStringList, QString> commands[] = {{{"--resume"}, "4..2"},
                                                        {{"--export", "b.json"}, "1.260"},
                                                        {{"--import", "a.json"}, "1.-252"},
                                                        {{dfu}, "1.4x"},
                                                        {{"-d", dfu}, "1.516"}};
    for (const auto& [command, port] : commands) {
        SCOPED_TRACE(command.join(' ').toStdString());
        const ToolRun run = this->run(command + QStringList{"--port", port});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(untimed(run).last(), "[!] Invalid port path: \"" + port + "\"");
    }
    EXPECT_EQ(files(), (QStringList{"a.json", "firmware.dfu"}));
    const QByteArray settings = exportedSettings();
    EXPECT_TRUE(settings.contains("\"Version: Firmware\": \"1.0.0\"")) << settings.toStdString();
    EXPECT_FALSE(settings.contains("Elsewhere"));
}

}  // namespace
