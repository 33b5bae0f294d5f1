#include <QCoreApplication>

#include <exception>

#include "Application.h"
#include "ConsoleLog.h"
#include "Version.h"
#include "platform/Interrupt.h"

int main(int argc, char* argv[]) {
    using namespace unitflash;
    applicationTimer.start();
    qInstallMessageHandler(consoleMessageHandler);
    useUtf8Console();
    platform::ignoreBrokenPipes();
    bool ok = false;
    {
        QCoreApplication application(argc, argv);
        QCoreApplication::setApplicationVersion(kApplicationVersion);
        // The unit link reports USB failures by throwing; whatever escapes a command ends the
        // run with its text and a failure status, never with an abort.
        try {
            ok = runApplication(QCoreApplication::arguments());
        } catch (const std::exception& e) {
            qCritical("%s", e.what());
        } catch (...) {
            qCritical("Unexpected error");
        }
    }
    return ok ? 0 : 1;
}
