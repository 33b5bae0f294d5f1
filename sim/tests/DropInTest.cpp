#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "RunTool.h"

namespace {

// The shared library stands in for the system libusb of an unmodified program.
TEST(DropIn, AnUnmodifiedLibusbProgramSeesTheScenariosDevices) {
    QString scenario = QDir::temp().filePath("sim-dropin-scenario.json");
    QFile file(scenario);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(R"({"devices": [
        {"kind": "unit", "bus": 1, "port": "3.1", "product": "Probe unit"},
        {"kind": "unit", "bus": 2, "port": [5], "bcdDevice": 592}]})");
    file.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_LIBRARY_PATH", SIM_LIBUSB_DIR);
    environment.insert("UNITFLASH_SIM_SCENARIO", scenario);
    ToolRun run = runTool(DROPIN_PROBE, {}, environment);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.lines(), (QStringList{"6444:0001 bus 2 port 5 \"Quorel Control Unit\"",
                                        "6444:0001 bus 1 port 3.1 \"Probe unit\""}));

    environment.insert("UNITFLASH_SIM_SCENARIO", scenario + ".missing");
    run = runTool(DROPIN_PROBE, {}, environment);
    EXPECT_EQ(run.out.trimmed(), "init failed");
    EXPECT_TRUE(run.err.contains("cannot read")) << run.err.toStdString();
    QFile::remove(scenario);

    // Without a scenario, the default one in UNITFLASH_SIM_HOME, its state file beside it.
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    environment.remove("UNITFLASH_SIM_SCENARIO");
    environment.insert("UNITFLASH_SIM_HOME", home.filePath("sim"));
    run = runTool(DROPIN_PROBE, {}, environment);
    EXPECT_EQ(run.lines(), QStringList{"6444:0001 bus 1 port 1.4 \"Quorel Control Unit\""});
    EXPECT_TRUE(QFile::exists(home.filePath("sim/scenario.json")));
    EXPECT_TRUE(QFile::exists(home.filePath("sim/state.json")));
}

}  // namespace
