#include <QDebug>

#include "Commands.h"

bool runUpdate(const QString&, bool, bool, const QString&, const std::string&) {
    qCritical("Firmware update is not available in this build");
    return false;
}
