#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "RunTool.h"

namespace {

const QString kHeading = "Available devices:";

bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The listing through the application on the virtual bus: not a log line, so printed the same
// with --verbose, and nothing goes to standard error.
TEST(DeviceListSimulated, UnitsInBusOrder) {
    QTemporaryDir dir;
    const QString scenario = dir.filePath("scenario.json");
    ASSERT_TRUE(writeFile(
        scenario, R"({"devices": [{"port": "4.2"}, {"port": "1.3"}, {"bus": 2, "port": "4.2"}]})"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("UNITFLASH_SIM_SCENARIO", scenario);
    environment.insert("UNITFLASH_SIM_PACE", "0");
    for (const QStringList& arguments :
         {QStringList{"--list-devices"}, QStringList{"--list-devices", "--verbose"}}) {
        const ToolRun run = runTool(UNITFLASH_SIM_BINARY, arguments, environment, dir.path());
        EXPECT_EQ(run.exitCode, 0);
        // The bus is named where a port path alone does not tell two units apart.
        EXPECT_EQ(run.lines(), (QStringList{kHeading, " Port path: 4.2 (bus 2)",
                                            " Port path: 4.2 (bus 1)", " Port path: 1.3"}));
        EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
    }
}

}  // namespace
