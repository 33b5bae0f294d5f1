#include "CliFixture.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#endif

#include "sim/DfuFileWriter.h"

QJsonObject CliTest::unitAt(const QString& port, const QJsonObject& extra) {
    QJsonObject unit{{"kind", "unit"}, {"port", port}, {"firmwareVersion", "1.0.0"}};
    for (auto it = extra.begin(); it != extra.end(); ++it) {
        unit.insert(it.key(), it.value());
    }
    return unit;
}

void CliTest::SetUp() {
    ASSERT_TRUE(root_.isValid());
    QDir(root_.path()).mkpath("work");
    QDir(root_.path()).mkpath("temp");
    work_ = QDir(root_.filePath("work"));
    scenario_ = root_.filePath("scenario.json");
    setDevices(QJsonArray{unitAt("1.4")});
}

void CliTest::setDevices(const QJsonArray& devices, bool persistent, bool keepState) {
    if (!keepState) {
        QFile::remove(root_.filePath("state.json"));
    }
    QJsonObject scenario{{"devices", devices}};
    if (persistent) {
        scenario.insert("stateFile", root_.filePath("state.json"));
    }
    QFile file(scenario_);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(scenario).toJson());
}

QProcessEnvironment CliTest::simulation(const char* pace) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("UNITFLASH_SIM_SCENARIO", scenario_);
    environment.insert("UNITFLASH_SIM_PACE", pace);
    // Runs of other tests work on units at the same places; each test has its own locks.
    const QString temporary = QDir::toNativeSeparators(root_.filePath("temp"));
    environment.insert("TMPDIR", temporary);
    environment.insert("TMP", temporary);
    return environment;
}

ToolRun CliTest::run(const QStringList& arguments) const {
    return runTool(UNITFLASH_SIM_BINARY, arguments, simulation(), work_.path());
}

ToolRun CliTest::runLine(const QString& line) const {
    return runCommandLine(line, simulation(), work_.path());
}

QProcessEnvironment CliTest::bridging(const char* pace) const {
    QProcessEnvironment environment = simulation(pace);
    // A sanitized build must accept umockdev's preloaded library ahead of its runtime.
    environment.insert("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0");
    return environment;
}

#ifdef UNITFLASH_USBFS_BINARY
ToolRun CliTest::runBridged(const QString& program, const QStringList& arguments, bool dropIn,
                            const char* pace) const {
    QProcessEnvironment environment = bridging(pace);
    QStringList words{"60"};
    if (dropIn) {
        environment.insert("LD_LIBRARY_PATH", QFileInfo(UNITFLASH_USBFS_BINARY).path());
    } else {
        words << UNITFLASH_USBFS_BINARY << "--";
    }
    return runTool("timeout", words + QStringList{program} + arguments, environment, work_.path());
}
#endif

#ifndef _WIN32
ToolRun CliTest::runUnprivileged(const QStringList& arguments, const QString& temporary) const {
    // The simulator's scenario and state stay writable; the working directory does not.
    const QFileDevice::Permissions all = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                         QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                         QFileDevice::WriteOther | QFileDevice::ExeOther;
    QFile::setPermissions(root_.path(), all);
    QFile::setPermissions(root_.filePath("state.json"), all);
    QDir(temporary).mkpath(".");
    QFile::setPermissions(temporary, all);
    QProcessEnvironment environment = simulation();
    environment.insert("TMPDIR", temporary);
    return runTool(
        "setpriv",
        QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", UNITFLASH_SIM_BINARY} +
            arguments,
        environment, work_.path());
}

ToolRun CliTest::runInShell(const QString& preamble, const QStringList& arguments) const {
    QProcessEnvironment environment = simulation();
    QStringList shellArguments{"-c", preamble + "; exec \"$0\" \"$@\"", UNITFLASH_SIM_BINARY};
    shellArguments += arguments;
    return runTool("/bin/sh", shellArguments, environment, work_.path());
}

#endif

QByteArray CliTest::read(const QString& name) const {
    QFile file(path(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void CliTest::write(const QString& name, const QByteArray& content) const {
    QFile file(path(name));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(content);
    }
}

QStringList CliTest::files() const {
    return work_.entryList(QDir::Files, QDir::Name);
}

QString CliTest::firmware(const QString& version, const QString& name, size_t size) const {
    const std::vector<uint8_t> image = sim::makeExampleFirmware(version.toStdString(), size);
    // In two elements, the second beginning where the first ends, as files made from a
    // linker's sections often are.
    const auto half = image.begin() + static_cast<long>(image.size() / 2);
    const std::vector<uint8_t> bytes =
        sim::buildDfuFile({{0,
                            "",
                            {{0x08000000, {image.begin(), half}},
                             {0x08000000 + uint32_t(image.size() / 2), {half, image.end()}}}}});
    write(name,
          QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size())));
    return name;
}

QByteArray CliTest::exportedSettings(const QString& name) const {
    const ToolRun exported = run({"--export", name});
    EXPECT_EQ(exported.exitCode, 0) << exported.out.toStdString();
    const QByteArray settings = read(name);
    QFile::remove(path(name));
    return settings;
}

QByteArray CliTest::deviceState() const {
    QByteArray state;
    for (const QString& name : QDir(root_.path()).entryList({"state.json*"}, QDir::Files)) {
        QFile file(root_.filePath(name));
        state += name.toUtf8() + ":" + (file.open(QIODevice::ReadOnly) ? file.readAll() : "");
    }
    return state;
}

QByteArray CliTest::savedSettings() const {
    QFile file(root_.filePath("state.json"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
    return state.value("1-1.4").toObject().value("savedSettings").toString().toLatin1();
}

#ifndef _WIN32
ToolRun CliTest::runInterrupted(const QStringList& arguments, const QString& waitFor,
                                const std::vector<int>& toSend, const QString& launcher,
                                bool readerLeaves, const std::function<void()>& meanwhile,
                                const QStringList& tool) const {
    const bool sim = tool == QStringList{UNITFLASH_SIM_BINARY};
    QProcessEnvironment environment = sim ? simulation("1") : bridging("1");
    // A terminal's foreground job has these at their default; the child inherits them from here.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(signal, SIG_DFL);
    }
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(work_.path());
    // Neither end is the tool's but the one it gets as its standard output.
    int ends[2] = {-1, -1};
    if (readerLeaves && pipe2(ends, O_CLOEXEC) == 0) {
        process.setStandardOutputFile(QString("/dev/fd/%1").arg(ends[1]));
    }
    if (launcher.isEmpty()) {
        process.start(tool.first(), tool.mid(1) + arguments);
    } else {
        process.start(launcher, tool + arguments);
    }
    ToolRun run;
    const bool started = process.waitForStarted(30000);
    close(ends[1]);
    if (!started) {
        return run;
    }
    QByteArray out;
    char c = 0;
    while (!out.contains(waitFor.toUtf8() + '\n')) {
        if (ends[0] >= 0 && ::read(ends[0], &c, 1) == 1) {
            out += c;
        } else if (ends[0] < 0 && process.waitForReadyRead(60000)) {
            out += process.readAllStandardOutput();
        } else {
            break;
        }
    }
    close(ends[0]);
    if (meanwhile) {
        meanwhile();
    }
    // An ended process has no id (0), and kill(0) would signal this whole process group.
    const qint64 pid = process.processId();
    for (const int signal : toSend) {
        if (pid > 0) {
            ::kill(static_cast<pid_t>(signal < 0 ? -pid : pid), std::abs(signal));
        }
    }
    process.waitForFinished(120000);
    out += process.readAllStandardOutput();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(out);
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

int CliTest::runIntoClosedPipe(const QStringList& arguments) const {
    int ends[2];
    if (pipe(ends) != 0) {
        return -1;
    }
    close(ends[0]);
    QByteArray binary = UNITFLASH_SIM_BINARY;
    std::vector<QByteArray> words{binary};
    for (const QString& argument : arguments) {
        words.push_back(argument.toUtf8());
    }
    std::vector<char*> argv;
    for (QByteArray& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    QByteArray scenario = "UNITFLASH_SIM_SCENARIO=" + scenario_.toUtf8();
    QByteArray pace = "UNITFLASH_SIM_PACE=0";
    QByteArray temporary = "TMPDIR=" + QFile::encodeName(root_.filePath("temp"));
    std::vector<char*> env{scenario.data(), pace.data(), temporary.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, ends[1]);
    // Whatever the test runner does with SIGPIPE, the tool starts with it at its default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    // The tool runs in the working directory, as the other runs do.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(work_.path());
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, binary.constData(), &actions, &attributes, argv.data(), env.data());
    QDir::setCurrent(previous);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(ends[1]);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif
