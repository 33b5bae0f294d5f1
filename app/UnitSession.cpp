#include "UnitSession.h"

#include <QDebug>

#include "Commands.h"

UnitSession::UnitSession(const std::vector<uint8_t>& port, const std::string& deviceName)
    : model_(transport_) {
    transport_.setNameFilter(deviceName);
    transport_.setPortFilter(port);
}

bool UnitSession::waitForUnit(bool logAttempts, const char* failure, const QString& portText) {
    if (connectWithRetry(model_, logAttempts)) {
        return true;
    }
    qCritical(failure, qUtf8Printable(portText));
    printDeviceList();
    return false;
}

void UnitSession::storeChanges() {
    model_.writeChanged();
    transport_.commit();
}
