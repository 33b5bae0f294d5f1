#include "CliFixture.h"

namespace {

using Chain = CliTest;

// One unit through the commands a user runs one after another: each run is a new process that
// finds the unit as the last one left it.
TEST_F(Chain, ResumeExportEditImportUpdate) {
    setDevices({unitAt("1.4", {{"kind", "bootloader"}})});
    EXPECT_EQ(run({"--export", "a.json"}).exitCode, 1);

    ASSERT_EQ(run({"--resume"}).exitCode, 0);
    ASSERT_EQ(run({"--export", "a.json"}).exitCode, 0);
    QByteArray edited = read("a.json");
    edited.replace("\"Device name\": \"Quorel unit\"", "\"Device name\": \"Pump 3\"");
    edited.replace("\"Watchdog timeout ms\": 5000", "\"Watchdog timeout ms\": 750");
    write("a.json", edited);
    ASSERT_EQ(run({"--import", "a.json"}).exitCode, 0);

    ASSERT_EQ(run({firmware("2.0.0")}).exitCode, 0);
    const QByteArray after = exportedSettings();
    EXPECT_TRUE(after.contains("\"Version: Firmware\": \"2.0.0\""));
    EXPECT_TRUE(after.contains("\"Device name\": \"Pump 3\""));
    EXPECT_TRUE(after.contains("\"Watchdog timeout ms\": 750"));
    EXPECT_EQ(run({"--resume"}).exitCode, 1);
}

}  // namespace
