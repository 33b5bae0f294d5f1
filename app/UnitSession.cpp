#include "UnitSession.h"

#include <QDebug>

#include "DeviceList.h"
#include "dfu/FindDfuDevices.h"
#include "platform/Interrupt.h"
#include "platform/Platform.h"

bool connectWithRetry(trn::SettingsModel& model, bool logAttempts) {
    for (int attempt = 0; attempt < 200 && !platform::interruptRequested; ++attempt) {
        if (logAttempts) {
            qDebug("trying to connect (retries: %i)", attempt);
        }
        platform::sleepMs(100);
        if (model.load()) {
            return true;
        }
    }
    return false;
}

namespace unitflash {

UnitSession::UnitSession(UnitSelection& selection) : selection_(selection), model_(transport_) {
    transport_.setNameFilter(selection.deviceName);
    transport_.setPortFilter(selection.portFilter());
}

void UnitSession::pinFoundUnit() {
    if (!selection_.pinned.empty()) {
        return;
    }
    selection_.pinned = transport_.portNumbers();
    if (selection_.portText.isEmpty() && transport_.listDevices().size() > 1) {
        qWarning(
            "Several units are attached; using the one on port path %s (choose another with "
            "--port)",
            qUtf8Printable(portPathString(selection_.pinned)));
    }
}

bool UnitSession::loadOnce() {
    if (!model_.load()) {
        return false;
    }
    pinFoundUnit();
    return true;
}

bool UnitSession::waitForUnit(bool logAttempts, const char* failure) {
    if (connectWithRetry(model_, logAttempts)) {
        pinFoundUnit();
        return true;
    }
    if (platform::interruptRequested) {
        return false;
    }
    qCritical(failure, qUtf8Printable(selection_.portText));
    const trn::UsbTransportV2::OpenFailure& denied = transport_.lastOpenFailure();
    if (denied.accessDenied()) {
        qCritical(
            "The unit on port path %s was found but cannot be opened (%s): install the udev "
            "rule 70-unitflash.rules as README.md describes under \"Real units\"",
            qUtf8Printable(portPathString(denied.port)), denied.text().c_str());
    }
    printDeviceList();
    return false;
}

bool UnitSession::storeImport(bool imported, QtMsgType successLevel, const char* success) {
    model_.writeChanged();
    transport_.commit();
    if (!imported) {
        qCritical("Importing settings failed!");
    } else if (successLevel == QtInfoMsg) {
        qInfo("%s", success);
    } else {
        qDebug("%s", success);
    }
    return imported;
}

}  // namespace unitflash
