#include <QDebug>

#include "Commands.h"

bool connectWithRetry(trn::SettingsModel&, bool) { return false; }

bool exportSettings(const QString&, const QString&, const std::string&) {
    qCritical("Exporting settings is not available in this build");
    return false;
}

bool importSettings(const QString&, const QString&, const std::string&) {
    qCritical("Importing settings is not available in this build");
    return false;
}
