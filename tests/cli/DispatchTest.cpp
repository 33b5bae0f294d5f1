#include "CliFixture.h"

namespace {

using Dispatch = CliTest;

// One command runs, whatever the order on the command line: --list-devices before --resume
// before --export before --import before the update.
TEST_F(Dispatch, OneCommandRunsByPrecedence) {
    setDevices({});
    write("b.json", "{}");
    const QString dfu = firmware("2.0.0");
    const struct {
        QStringList arguments;
        QString first;  // the first line of the command that ran
    } cases[] = {
        {{"--resume", "--export", "a.json", "--import", "b.json", "-l", dfu}, "Available devices:"},
        {{"--export", "a.json", "--import", "b.json", "--resume", dfu},
         "[!] Cannot return device to normal operation: no device in update-mode detected!"},
        {{dfu, "--import", "b.json", "--export", "a.json"},
         "[I] Waiting for device connection to export settings, to file:"},
        {{dfu, "--import", "b.json"}, "[I] Connecting to device to update settings, from file:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const QStringList lines = untimed(run(c.arguments));
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_EQ(lines.first(), c.first);
    }
    EXPECT_EQ(files(), (QStringList{"b.json", "firmware.dfu"}));
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
