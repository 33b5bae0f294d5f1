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

// The listing is no log: the same without --verbose. With it, each unit's line is followed by
// what tells it apart, read from the unit, and the boot loaders present are named.
TEST_F(Dispatch, TheListingNamesUnitsAndWithVerboseDescribesThem) {
    setDevices({unitAt("4.2", {{"product", "Bench"}, {"serialNumber", "S7"}}),
                unitAt("1.3", {{"faults", QJsonObject{{"denyOpen", true}}}}),
                unitAt("4.2", {{"bus", 2}, {"firmwareVersion", "2.0.0"}}),
                unitAt("2.1", {{"kind", "bootloader"}})});
    const QStringList plain = {"Available devices:", " Port path: 4.2 (bus 2)",
                               " Port path: 4.2 (bus 1)", " Port path: 1.3",
                               "Several units: an update with --all updates them all at once"};
    const QStringList verbose = {
        plain[0],
        plain[1],
        "[D] Port path 4.2 (bus 2): product \"Quorel Control Unit\", serial number \"QCU-000001\", "
        "firmware 2.0.0",
        plain[2],
        "[D] Port path 4.2 (bus 1): product \"Bench\", serial number \"S7\", firmware 1.0.0",
        plain[3],
        "[D] Port path 1.3: cannot be read (LIBUSB_ERROR_ACCESS: Access denied (insufficient "
        "permissions))",
        plain[4],
        "[D] Found DFU device: \"USB-BUS1-PORT2.1-IF0\"",
        "[D] Boot loader (DFU mode) on port path 2.1"};
    for (const bool withVerbose : {false, true}) {
        const ToolRun run =
            this->run(withVerbose ? QStringList{"-l", "--verbose"} : QStringList{"-l"});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(untimed(run), withVerbose ? verbose : plain);
    }
}

}  // namespace
