#include "Application.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>

#include <cstdio>
#include <cstdlib>

#include "AllUnits.h"
#include "ConsoleLog.h"
#include "DeviceList.h"
#include "SettingsCommands.h"
#include "UnitLock.h"
#include "UnitSelection.h"
#include "UpdateSequence.h"
#include "dfu/ReturnToNormalOperation.h"

namespace unitflash {

namespace {

QList<QCommandLineOption> optionTable() {
    return {
        QCommandLineOption(QStringList{"verbose"}, "For being extra verbose"),
        QCommandLineOption(QStringList{"p", "port"},
                           "Only update device on matching port path (e.g. \"4.2\" for 2nd port "
                           "on a usb hub attached to 4th PC USB port)",
                           "USB port path"),
        QCommandLineOption(
            QStringList{"n", "name"},
            "Only update device with matching device name (USB product string descriptor)",
            "USB device name"),
        QCommandLineOption(QStringList{"l", "list-devices"}, "List attached eligible devices"),
        QCommandLineOption(QStringList{"d", "discard-settings"},
                           "Discard pre-update device settings"),
        QCommandLineOption(
            QStringList{"no-backup"},
            "Do not back up pre-update device settings (implied by --discard-settings)"),
        QCommandLineOption(
            QStringList{"import"},
            "import previously backed up (or exported) settings and save to flash memory",
            "filename (JSON file)"),
        QCommandLineOption(QStringList{"export"}, "export settings", "filename to export to"),
        QCommandLineOption(QStringList{"resume"},
                           "Tell connected device to quit DFU mode and resume normal operation"),
        QCommandLineOption(QStringList{"skip-unchanged"},
                           "Read the flash first and erase and program only the sectors that do "
                           "not hold the firmware file's image already"),
        QCommandLineOption(QStringList{"all"},
                           "Update every unit attached (that --port and --name allow) at once, "
                           "each as its own run on its own port path"),
    };
}

// What each unit's run of an update with --all is given besides its place and the file.
QStringList unitRunOptions(const QCommandLineParser& parser) {
    QStringList options;
    for (const char* flag : {"verbose", "discard-settings", "no-backup", "skip-unchanged"}) {
        if (parser.isSet(flag)) {
            options << QString("--") + flag;
        }
    }
    if (parser.isSet("name")) {
        options << "--name" << parser.value("name");
    }
    return options;
}

// Prints the text and ends the process, as the parser itself would, but always as text on the
// standard streams: Qt's parser shows a message box instead when a Windows process has no
// console window of its own.
[[noreturn]] void endWith(const QString& text, FILE* stream, int status) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
    std::exit(status);
}

void processArguments(QCommandLineParser& parser, const QStringList& arguments) {
    const QString name = QCoreApplication::applicationName();
    if (!parser.parse(arguments)) {
        endWith(name + ": " + parser.errorText() + '\n', stderr, 1);
    }
    if (parser.isSet("version")) {
        endWith(name + ' ' + QCoreApplication::applicationVersion() + '\n', stdout, 0);
    }
    if (parser.isSet("help") || parser.isSet("help-all")) {
        endWith(parser.helpText(), stdout, 0);
    }
}

}  // namespace

bool runApplication(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.addOptions(optionTable());
    parser.setApplicationDescription(
        "Tool for updating Quorel control units based on STM32 microcontrollers over USB.\n"
        "Updates the first device it finds by default (unless --port option is used).\n"
        "Tries to preserve device settings (unless --discard-settings is used).\n");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("filename", "DFU file to perform update with", QString());

    // Help, version and command-line errors print their text and end the process here.
    processArguments(parser, arguments);

    verboseOutput = parser.isSet("verbose");
    SettingsHandling settings = SettingsHandling::kBackUpAndRestore;
    if (parser.isSet("discard-settings")) {
        settings = SettingsHandling::kDiscard;
    } else if (parser.isSet("no-backup")) {
        settings = SettingsHandling::kRestoreOnly;
    }
    UnitSelection selection;
    selection.portText = parser.value("port");
    selection.deviceName = parser.value("name").toStdString();

    if (parser.isSet("list-devices")) {
        return printDeviceList(verboseOutput, true);
    }
    // Every other command may touch a unit: none that another run works on.
    installUnitLocks();
    if (parser.isSet("resume")) {
        if (!selection.portText.isEmpty() && !parseSelectedPort(selection)) {
            return false;
        }
        return dfu::returnToNormalOperation(selection.port);
    }
    // A unit another run works on may sit in its boot loader, where no unit is found to refuse.
    if (!noOtherRunOn(selection.portText)) {
        return false;
    }
    if (parser.isSet("export")) {
        return exportSettings(parser.value("export"), selection);
    }
    if (parser.isSet("import")) {
        return importSettings(parser.value("import"), selection);
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        qWarning("Not updating, no firmware file specified.");
        printDeviceList();
        endWith(parser.helpText(), stdout, 1);
    }
    if (parser.isSet("all")) {
        return updateAllUnits(selection, positional.first(), unitRunOptions(parser));
    }
    return runUpdate(positional.first(), settings, selection, parser.isSet("skip-unchanged"));
}

}  // namespace unitflash
