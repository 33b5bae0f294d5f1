#include "RunTool.h"

#include <QRegularExpression>

Lines ToolRun::untimedLines() const {
    static const QRegularExpression stamp(R"(^\[(.)\]\[[0-9.e+]+\] )");
    QStringList result;
    for (const QString& line : lines()) {
        QString copy = line;
        result << copy.replace(stamp, "[\\1] ");
    }
    return result;
}

namespace {

void prepare(QProcess& process, const QProcessEnvironment& environment,
             const QString& workingDirectory) {
    process.setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty()) {
        process.setWorkingDirectory(workingDirectory);
    }
}

ToolRun collect(QProcess& process) {
    ToolRun run;
    if (!process.waitForStarted(30000) || !process.waitForFinished(300000)) {
        run.err = "tool did not run: " + process.errorString();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
#ifdef _WIN32
    run.out.replace("\r\n", "\n");
    run.err.replace("\r\n", "\n");
#endif
    return run;
}

}  // namespace

ToolRun runTool(const QString& binary, const QStringList& arguments,
                const QProcessEnvironment& environment, const QString& workingDirectory) {
    QProcess process;
    prepare(process, environment, workingDirectory);
    process.start(binary, arguments);
    return collect(process);
}

ToolRun runCommandLine(const QString& line, const QProcessEnvironment& environment,
                       const QString& workingDirectory) {
    QProcess process;
    prepare(process, environment, workingDirectory);
#ifdef _WIN32
    process.setProgram("cmd.exe");
    // With /s, cmd.exe reads what stands between the outer quotes as it was typed.
    process.setNativeArguments("/d /s /c \"" + line + "\"");
    process.start();
#else
    process.start("/bin/sh", {"-c", line});
#endif
    return collect(process);
}
