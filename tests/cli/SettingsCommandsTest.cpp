#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QCoreApplication>
#include <QStandardPaths>
#include <functional>

#include "CliFixture.h"

namespace {

using SettingsCommands = CliTest;

TEST_F(SettingsCommands, ExportEditImportChangesWhatTheUnitStores) {
    ASSERT_EQ(run({"--export", "a.json"}).exitCode, 0);
    const ToolRun again = run({"--export", "a.json"});
    EXPECT_EQ(untimed(again).mid(0, 2),
              (QStringList{"[I] File already exists, overwriting", " \"a.json\""}));

    QByteArray edited = read("a.json");
    edited.replace("\"Location\": \"Bench 1\"", "\"Location\": \"Lab \\\"7\\\"\"");
    edited.replace("        200,", "        -250,");
    edited.replace("\"Output 2: gain\": 1.0", "\"Output 2: gain\": 0.10000000149011612");
    // A value of 256 bytes or more is written with a two-byte length.
    edited.replace("\"Notes\": \"\"", "\"Notes\": \"" + QByteArray(290, 'n') + "\"");
    ASSERT_NE(edited, read("a.json"));
    write("a.json", edited);

    const ToolRun imported = run({"--import", "a.json"});
    ASSERT_EQ(imported.exitCode, 0) << imported.out.toStdString();
    EXPECT_EQ(untimed(imported),
              (QStringList{"[I] Connecting to device to update settings, from file:", " \"a.json\"",
                           "[I] Setting import successful!"}));
    // A new run starts the unit from what it stored on commit.
    EXPECT_EQ(exportedSettings(), edited);
    // A file name beyond ASCII is opened as the user typed it, on Windows too.
    ASSERT_TRUE(QFile::rename(path("a.json"), path("für Bank 1.json")));
    EXPECT_EQ(run({"--import", "für Bank 1.json"}).exitCode, 0);
}

TEST_F(SettingsCommands, ImportOfAMissingFileDoesNothingElse) {
    const ToolRun run = this->run({"--import", "missing.json", "--verbose"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(untimed(run), (QStringList{"[!] Unable to import settings, file does not exist:",
                                         " \"missing.json\""}));
}

// An import that fails changes nothing on the unit and says which member failed and why; one
// that succeeds says what it skipped, matched partly, cut or stored as another number. Either
// way the unit is told to save its settings.
TEST_F(SettingsCommands, AFailedImportChangesNothing) {
    const QByteArray a39(39, 'a');
    const struct {
        QByteArray content;
        QStringList said;     // the lines after the connection message
        QByteArray stored{};  // what an export then shows
    } cases[] = {
        {"{ \"Location\": ",
         {"[!] Importing settings failed!",
          "[!] the file is not valid JSON at offset 14: Invalid value.; nothing on the unit was "
          "changed"}},
        {"[1]",
         {"[!] Importing settings failed!",
          "[!] the file holds no JSON object; nothing on the unit was changed"}},
        {"{\"Location\": \"Changed\", \"Thresholds\": \"x\"}",
         {"[!] Importing settings failed!",
          "[!] \"Thresholds\" was refused: its value does not fit a setting of type Int32; "
          "nothing on the unit was changed"}},
        {"{\"Locat\": \"A text that is much longer than forty bytes\", \"nobody\": 1, \"Output\": "
         "2}",
         {"[W] \"Locat\" was applied to the setting \"Location\"",
          "[W] \"Locat\" was cut to the setting's 40 bytes",
          "[W] \"nobody\" was skipped: no setting has that name",
          "[W] \"Output\" was skipped: it names several settings",
          "[I] Setting import successful!"}},
        // Whole characters only; a text that fills its setting is not cut.
        {"{\"Location\": \"" + a39 + "\xC3\xBC\", \"Device name\": \"" + QByteArray(24, 'd') +
             "\"}",
         {"[W] \"Location\" was cut to 39 bytes, the whole characters that fit the setting's 40",
          "[I] Setting import successful!"},
         "\"Location\": \"" + a39 + "\","},
        {"{\"Location\": 5}",
         {"[!] Importing settings failed!",
          "[!] \"Location\" was refused: its value does not fit a setting of type Text; nothing "
          "on the unit was changed"}},
        {"{\"Operating mode\": 1e300, \"Thresholds\": [1, 2.9]}",
         {"[W] \"Operating mode\" was stored as -2147483648, not the 1e300 given",
          "[W] \"Thresholds\" element 1 was stored as 2, not the 2.9 given",
          "[I] Setting import successful!"},
         "\"Operating mode\": -2147483648,"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.constData());
        setDevices({unitAt("1.4")});
        const QByteArray before = exportedSettings();
        write("a.json", c.content);
        const ToolRun run = this->run({"--import", "a.json"});
        const bool failed = c.said.last().startsWith("[!]");
        EXPECT_EQ(run.exitCode, failed ? 1 : 0);
        EXPECT_EQ(untimed(run).mid(2), c.said) << run.out.toStdString();
        EXPECT_FALSE(savedSettings().isEmpty());
        const QByteArray after = exportedSettings();
        EXPECT_EQ(after == before, failed);
        EXPECT_TRUE(after.contains(c.stored));
    }
}

TEST_F(SettingsCommands, ExportWithoutUnitLeavesTheOldFile) {
    setDevices({});
    write("a.json", "keep me");
    const ToolRun run = this->run({"--export", "a.json", "--verbose"});
    EXPECT_EQ(run.exitCode, 1);
    const QStringList lines = untimed(run);
    EXPECT_TRUE(lines.contains("[D] trying to connect (retries: 0)"));
    EXPECT_EQ(lines.mid(lines.size() - 2),
              (QStringList{"[!] Unable to connect to device for setting export! (port: )",
                           "Available devices:"}));
    EXPECT_EQ(read("a.json"), "keep me");
}

// A unit that is not there, and one that is there but may not be opened: the import waits
// silently, and the failure says which it was.
TEST_F(SettingsCommands, ConnectionFailuresSayWhy) {
    write("a.json", "{}");
    const QJsonObject denied = unitAt("1.4", {{"faults", QJsonObject{{"denyOpen", true}}}});
    const struct {
        const char* what;
        QJsonArray devices;
        QStringList options;
        QStringList ending;
        QString first = "[D] No port path specified";
        bool claimed = false;  // another program holds the unit's interface (the last row)
    } cases[] = {
        {"no unit",
         {},
         {"--import", "a.json", "--port", "2-3.1"},
         {"[!] Unable to connect to device for setting import! (port: 2-3.1)",
          "Available devices:"},
         "[D] port path \"2-3.1\" as string: \"3\".\"1\""},
        {"no permission",
         {denied},
         {"--import", "a.json"},
         {"[!] Unable to connect to device for setting import! (port: )",
          "[!] The unit on port path 1.4 was found but cannot be opened (LIBUSB_ERROR_ACCESS: "
          "Access denied (insufficient permissions)): " +
              QString(kOpenAdvice),
          "Available devices:", " Port path: 1.4"}},
        // Only a permission problem earns the advice.
        {"an I/O error",
         {unitAt("1.4", {{"faults", QJsonObject{{"openError", "LIBUSB_ERROR_IO"}}}})},
         {"--import", "a.json"},
         {"[!] Unable to connect to device for setting import! (port: )",
          "[!] The unit on port path 1.4 was found but cannot be opened (LIBUSB_ERROR_IO: "
          "Input/Output Error)",
          "Available devices:", " Port path: 1.4"}},
        // The cable pulled while the values are read, and while they are stored.
        {"unplugged while reading",
         {unitAt("1.4", {{"faults", QJsonObject{{"unplugAtTransfer", 12}}}})},
         {"--export", "b.json"},
         {"[!] Unable to connect to device for setting export! (port: )", "Available devices:"}},
        {"unplugged while sending",
         {unitAt("1.4", {{"faults", QJsonObject{{"unplugAtTransfer", 24}}}})},
         {"--import", "a.json"},
         {"[!] Importing settings failed!",
          "[!] Sending the settings to the unit failed (LIBUSB_ERROR_NO_DEVICE: No such device "
          "(it may have been disconnected)); it may not have saved them"}},
        {"bad checksums",
         {unitAt("1.4", {{"faults", QJsonObject{{"corruptChecksums", 1000000}}}})},
         {"--import", "a.json"},
         {"[!] Unable to connect to device for setting import! (port: )",
          "[!] The unit looked for is on port path 1.4",
          "[!] The last attempt failed: USB setting data receive: invalid transfer (CRC error)",
          "Available devices:", " Port path: 1.4"}},
        {"in use",
         {unitAt("1.4")},
         {"--import", "a.json"},
         {"[!] Unable to connect to device for setting import! (port: )", inUseOn14("unit"),
          "Available devices:", " Port path: 1.4"},
         "[D] No port path specified",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        setDevices(c.devices);
        if (c.claimed) {  // this process stands for the other program, as the simulator shares it
            write("../state.json-1-1.4-0.claim",
                  QByteArray::number(QCoreApplication::applicationPid()));
        }
        const ToolRun run = this->run(c.options + QStringList{"--verbose"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out.contains("trying to connect"), c.options[0] == "--export");
        const QStringList lines = untimed(run);
        EXPECT_EQ(lines.mid(lines.size() - c.ending.size()), c.ending) << run.out.toStdString();
        EXPECT_EQ(lines.first(), c.first);
    }
}

TEST_F(SettingsCommands, FiltersChooseTheUnit) {
    setDevices({unitAt("1.4"), unitAt("2.1", {{"product", "Second"}, {"vio", "VIO B"}})});
    EXPECT_TRUE(exportedSettings().contains("\"VIO B\""));
    ASSERT_EQ(run({"--export", "b.json", "--port", "1"}).exitCode, 0);
    EXPECT_TRUE(read("b.json").contains("\"VIO 2.1\""));
    ASSERT_EQ(run({"--export", "c.json", "--name", "Second"}).exitCode, 0);
    EXPECT_TRUE(read("c.json").contains("\"VIO B\""));
    EXPECT_EQ(run({"--export", "d.json", "--name", "second"}).exitCode, 1);
}

TEST_F(SettingsCommands, ExportIntoAMissingDirectoryFails) {
    const ToolRun run = this->run({"--export", "nowhere/a.json"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(untimed(run).last(), "[!] Unable to open file for export: \"nowhere/a.json\"");
}

#ifdef _WIN32
// Windows' devices are written into, never replaced by a file.
TEST_F(SettingsCommands, ExportWritesIntoWindowsDevices) {
    for (const char* device : {"NUL", "nul", "CON"}) {
        const ToolRun run = this->run({"--export", device});
        EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
        EXPECT_TRUE(files().isEmpty()) << files().join(' ').toStdString();
    }
}
#else
// Resource limits, FIFOs, device nodes and permissions as Linux has them.

TEST_F(SettingsCommands, AFailedWriteKeepsTheOldFile) {
    setDevices({unitAt("1.4")}, false);
    write("a.json", "old content");
    // Files may grow to 512 bytes only; an export is several kilobytes.
    const ToolRun run = runInShell("trap '' XFSZ; ulimit -f 1", {"--export", "a.json"});
    EXPECT_EQ(run.exitCode, 1) << run.out.toStdString();
    EXPECT_EQ(untimed(run).last(), "[!] Unable to write file for export: \"a.json\"");
    EXPECT_EQ(read("a.json"), "old content");
    EXPECT_EQ(files(), QStringList{"a.json"});

    // The backup before an update fails in the same words, and the update stops there.
    const ToolRun update = runInShell("trap '' XFSZ; ulimit -f 1", {firmware("2.0.0")});
    EXPECT_EQ(update.exitCode, 1);
    const QStringList lines = untimed(update);
    EXPECT_TRUE(lines.value(lines.size() - 2).startsWith("[!] Unable to write file for export: "))
        << update.out.toStdString();
    EXPECT_EQ(lines.last(), "[!] Unable to backup device settings, aborting!");
    EXPECT_EQ(files(), (QStringList{"a.json", "firmware.dfu"}));
}

mode_t fileType(const QString& name) {
    struct stat status {};
    return ::stat(QFile::encodeName(name).constData(), &status) == 0 ? status.st_mode & S_IFMT : 0;
}

TEST_F(SettingsCommands, ExportWritesIntoWhatItMustNotReplace) {
    // Root passes every permission check; without the override a root run meets the read-only
    // directory as a user does.
    const bool root = geteuid() == 0;
    const QString asUser =
        "if [ \"$(id -u)\" = 0 ]; then exec setpriv "
        "--bounding-set=-dac_override,-dac_read_search \"$0\" \"$@\"; fi";
    const bool canDropRoot = !root || !QStandardPaths::findExecutable("setpriv").isEmpty();
    const QString readOnlyDirectory = path("ro");
    auto fileInReadOnlyDirectory = [&]() -> QString {
        QDir().mkpath(readOnlyDirectory);
        write("ro/a.json", "old content");
        ::chmod(QFile::encodeName(readOnlyDirectory).constData(), 0555);
        return canDropRoot ? "ro/a.json" : QString();
    };
    int fifo = -1;
    const struct {
        const char* what;
        QString preamble;
        std::function<QString()> prepare;  // the target, empty to skip the case
        int exitCode;
        std::function<void(const QString&, const ToolRun&)> check;
    } cases[] = {
        {"FIFO", asUser,
         [&] {
             EXPECT_EQ(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
             // Open at both ends, so that neither the tool nor the test waits for the other.
             fifo = ::open(QFile::encodeName(path("fifo")).constData(), O_RDWR | O_NONBLOCK);
             EXPECT_GE(fifo, 0);
             return QString("fifo");
         },
         0,
         [&](const QString& target, const ToolRun&) {
             QByteArray received;
             char buffer[4096];
             for (ssize_t n; (n = ::read(fifo, buffer, sizeof buffer)) > 0;) {
                 received.append(buffer, static_cast<int>(n));
             }
             ::close(fifo);
             EXPECT_TRUE(received.startsWith("{\n    \"Version: Firmware\": \"1.0.0\",\n"));
             EXPECT_TRUE(received.endsWith("\n}"));
             EXPECT_EQ(fileType(path(target)), S_IFIFO);
         }},
        // A file in a directory that takes no new files is written in place, and a failed
        // write is still reported (not taken for a failure to open it).
        {"failed write in a read-only directory", "trap '' XFSZ; ulimit -f 1; " + asUser,
         fileInReadOnlyDirectory, 1,
         [&](const QString&, const ToolRun& run) {
             EXPECT_EQ(untimed(run).last(), "[!] Unable to write file for export: \"ro/a.json\"");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QString target = c.prepare();
        if (target.isEmpty()) {
            std::cout << "[  SKIPPED ] " << c.what << ": cannot be set up here\n";
            continue;
        }
        const ToolRun run = runInShell(c.preamble, {"--export", target});
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out.toStdString() << run.err.toStdString();
        c.check(target, run);
        ::chmod(QFile::encodeName(readOnlyDirectory).constData(), 0755);
        for (const QString& name : {path("fifo"), path("ro/a.json")}) {
            QFile::remove(name);
        }
    }
}
#endif

}  // namespace
