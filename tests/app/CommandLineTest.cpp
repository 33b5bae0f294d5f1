#include <gtest/gtest.h>

#include "RunTool.h"

namespace {

ToolRun unitflash(const QStringList& arguments) {
    return runTool(UNITFLASH_BINARY, arguments);
}

TEST(CommandLine, VersionLine) {
    const ToolRun run = unitflash({"--version"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "unitflash 1.3.1+gfc41b41\n");
}

TEST(CommandLine, UnknownOptionAndMissingValueFail) {
    for (const QString option : {"--frobnicate", "--export"}) {
        const ToolRun run = unitflash({option});
        EXPECT_EQ(run.exitCode, 1) << option.toStdString();
        EXPECT_TRUE((run.out + run.err).contains(option.mid(2))) << option.toStdString();
    }
}

TEST(CommandLine, NoFileNoCommandWarnsListsAndShowsHelp) {
    const ToolRun run = unitflash({});
    EXPECT_EQ(run.exitCode, 1);
    const QStringList lines = run.untimedLines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], "[W] Not updating, no firmware file specified.");
    EXPECT_EQ(lines[1], "Available devices:");
    EXPECT_TRUE(run.out.contains("DFU file to perform update with"));
    EXPECT_TRUE(run.err.isEmpty());
}

}  // namespace
