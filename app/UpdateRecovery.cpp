#include "UpdateRecovery.h"

#include <QCoreApplication>
#include <QDebug>

namespace unitflash {

namespace {

// One argument as the user's shell reads it back: a POSIX shell, or cmd.exe on Windows (where
// file names hold no double quote, and backslashes separate directories).
QString shellWord(const QString& word) {
#ifdef _WIN32
    static const QString plain =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./:+=,@\\";
#else
    static const QString plain =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./:+=,@%";
#endif
    bool quote = word.isEmpty();
    for (const QChar c : word) {
        quote = quote || !plain.contains(c);
    }
    if (!quote) {
        return word;
    }
#ifdef _WIN32
    // cmd.exe expands %NAME% even between double quotes; with a quote on each side of every %,
    // any such name would begin with a quote, which no variable's name does.
    return '"' + QString(word).replace('%', "\"%\"") + '"';
#else
    QString quoted = word;
    return '\'' + quoted.replace('\'', "'\\''") + '\'';
#endif
}

}  // namespace

QString shellWordText(const QString& word) {
#ifdef _WIN32
    const QChar quote = '"';
    const char *quoted = "\"%\"", *plain = "%";
#else
    const QChar quote = '\'';
    const char *quoted = "'\\''", *plain = "'";
#endif
    if (word.size() < 2 || !word.startsWith(quote) || !word.endsWith(quote)) {
        return word;
    }
    return word.mid(1, word.size() - 2).replace(quoted, plain);
}

Recovery recoveryFor(Stage stage, const QString& firmwareFile) {
    switch (stage) {
        case Stage::kUntouched:
            return {"is as it was", {}, false};
        case Stage::kTriggered:
            return {"is in its boot loader (or on its way there) with its firmware unchanged",
                    {{"--resume"}}};
        case Stage::kFlashChanging:
            return {
                "is left in its boot loader with its firmware possibly erased or partly written",
                {{"--discard-settings", firmwareFile}}};
        case Stage::kReadProtected:
            // The protection keeps the old firmware and settings; only its removal erases them.
            return {
                "is left in its boot loader with its firmware unchanged: its chip is "
                "read-protected, which no update can change; removing the protection erases "
                "the whole flash, as said above",
                {{"--resume"}}};
        case Stage::kFlashWritten:
            return {"is left in its boot loader with the new firmware written", {{"--resume"}}};
        case Stage::kLeftUnchanged:
            return {"runs its old firmware with its settings", {}, false};
        case Stage::kCameBack:
            return {"runs the new firmware without its old settings", {}};
        case Stage::kLeftProgrammed:
        case Stage::kNotBack:
            break;
    }
    // A firmware that does not start leaves the chip in its boot loader.
    return {
        "did not come back after the update; if it sits in its boot loader, its new "
        "firmware does not start and it needs a firmware file that does",
        {{"--discard-settings", firmwareFile}}};
}

QString commandLine(const QStringList& arguments) {
    QStringList words;
    for (const QString& word :
         QStringList{QCoreApplication::arguments().value(0, "unitflash")} + arguments) {
        words << shellWord(word);
    }
    return words.join(' ');
}

void adviseRecovery(Stage stage, const UnitSelection& selection, const QString& firmwareFile,
                    const QString& settingsFile) {
    const bool anywhere = selection.portFilter().isAny();
    const QString where =
        anywhere ? QString("The unit") : "The unit on port path " + selection.placeText();
    const QStringList port =
        anywhere ? QStringList() : QStringList{"--port", selection.placeText()};
    Recovery recovery = recoveryFor(stage, firmwareFile);
    if (recovery.importSettings && !settingsFile.isEmpty()) {
        recovery.steps << QStringList{"--import", settingsFile};
    }
    if (recovery.steps.isEmpty()) {
        qCritical("%s %s", qUtf8Printable(where), qUtf8Printable(recovery.state));
        return;
    }
    qCritical("%s %s. To recover it, run these commands in this order:", qUtf8Printable(where),
              qUtf8Printable(recovery.state));
    for (const QStringList& step : recovery.steps) {
        qCritical("  %s", qUtf8Printable(commandLine(port + step)));
    }
}

}  // namespace unitflash
