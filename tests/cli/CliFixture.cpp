#include "CliFixture.h"

#include <QFile>

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
    work_ = QDir(root_.filePath("work"));
    scenario_ = root_.filePath("scenario.json");
    setDevices(QJsonArray{unitAt("1.4")});
}

void CliTest::setDevices(const QJsonArray& devices, bool persistent) {
    QFile::remove(root_.filePath("state.json"));
    QJsonObject scenario{{"devices", devices}};
    if (persistent) {
        scenario.insert("stateFile", root_.filePath("state.json"));
    }
    QFile file(scenario_);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(scenario).toJson());
}

ToolRun CliTest::run(const QStringList& arguments) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("UNITFLASH_SIM_SCENARIO", scenario_);
    environment.insert("UNITFLASH_SIM_PACE", "0");
    return runTool(UNITFLASH_SIM_BINARY, arguments, environment, work_.path());
}

ToolRun CliTest::runInShell(const QString& preamble, const QStringList& arguments) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("UNITFLASH_SIM_SCENARIO", scenario_);
    environment.insert("UNITFLASH_SIM_PACE", "0");
    QStringList shellArguments{"-c", preamble + "; exec \"$0\" \"$@\"", UNITFLASH_SIM_BINARY};
    shellArguments += arguments;
    return runTool("/bin/sh", shellArguments, environment, work_.path());
}

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

QString CliTest::firmware(const QString& version, const QString& name) const {
    const std::vector<uint8_t> image = sim::makeExampleFirmware(version.toStdString());
    const std::vector<uint8_t> bytes = sim::buildDfuFile(0x08000000, image);
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

QByteArray CliTest::savedSettings() const {
    QFile file(root_.filePath("state.json"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
    return state.value("1-1.4").toObject().value("savedSettings").toString().toLatin1();
}

void CliTest::forgetSavedSettings() const {
    QFile file(root_.filePath("state.json"));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
    QJsonObject unit = state.value("1-1.4").toObject();
    ASSERT_FALSE(unit.isEmpty());
    unit.insert("savedSettings", "");
    state.insert("1-1.4", unit);
    file.resize(0);
    file.seek(0);
    file.write(QJsonDocument(state).toJson());
}
