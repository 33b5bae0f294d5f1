#include <gtest/gtest.h>

#include "RunTool.h"

namespace {

ToolRun unitflash(const QStringList& arguments) {
    return runTool(UNITFLASH_BINARY, arguments);
}

TEST(CommandLine, HelpListsDescriptionOptionsInOrderAndThePositionalArgument) {
    const ToolRun run = unitflash({"--help"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QStringList inOrder = {
        "Tool for updating Quorel control units based on STM32 microcontrollers over USB.\n"
        "Updates the first device it finds by default (unless --port option is used).\n"
        "Tries to preserve device settings (unless --discard-settings is used).\n",
        "--verbose",
        "For being extra verbose",
        "-p, --port <USB port path>",
        "Only update device on matching port path",
        "(e.g. \"4.2\" for 2nd port on a usb hub",
        "-n, --name <USB device name>",
        "-l, --list-devices",
        "List attached eligible devices",
        "-d, --discard-settings",
        "--no-backup",
        "Do not back up pre-update device settings",
        "--import <filename (JSON file)>",
        "--export <filename to export to>",
        "--resume",
        "Tell connected device to quit DFU mode and",
        "--help",
        "--version",
        "Arguments:",
        "filename",
        "DFU file to perform update with",
    };
    int position = 0;
    for (const QString& piece : inOrder) {
        const int found = run.out.indexOf(piece, position);
        EXPECT_GE(found, 0) << "missing or out of order: " << piece.toStdString();
        position = found >= 0 ? found + piece.size() : position;
    }
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

TEST(CommandLine, ListingBeatsEveryOtherCommand) {
    const ToolRun run =
        unitflash({"--resume", "--export", "a.json", "--import", "b.json", "-l", "x.dfu"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.lines(), QStringList{"Available devices:"});
}

}  // namespace
