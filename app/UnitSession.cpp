#include "UnitSession.h"

#include <QDebug>
#include <QStringList>

#include <algorithm>
#include <exception>

#include "DeviceList.h"
#include "UnitLock.h"
#include "platform/Interrupt.h"
#include "platform/Platform.h"

namespace unitflash {

namespace {

// What makes a unit that is found but cannot be opened reachable.
#ifdef _WIN32
const char* const kOpenAdvice =
    "bind it to the WinUSB driver as README.md beside unitflash.exe describes under \"Windows\"";
#else
const char* const kOpenAdvice =
    "install the udev rule 70-unitflash.rules as the manual page unitflash(1) describes under "
    "PERMISSIONS";
#endif

// Said after the warnings that several units are attached: how to update them all.
const char* const kAllHint = "To update all of them at once, each on its own, add --all";

}  // namespace

UnitSession::UnitSession(const UnitSelection& selection)
    : selection_(selection), model_(transport_) {
    transport_.setNameFilter(selection.deviceName);
    transport_.setPortFilter(selection.portFilter());
}

std::vector<usb::PortPath> attachedUnits(trn::UsbTransportV2& transport,
                                         const UnitSelection& selection) {
    std::vector<usb::PortPath> found;
    for (const usb::PortPath& place : transport.listDevices()) {
        if (!selection.port.covers(place)) {
            continue;
        }
        if (!selection.deviceName.empty()) {
            try {
                if (transport.productNameAt(place) != selection.deviceName) {
                    continue;
                }
            } catch (const std::exception&) {
                continue;  // a unit whose name cannot be read was no choice either
            }
        }
        found.push_back(place);
    }
    return found;
}

void UnitSession::pinFoundUnit() {
    if (!selection_.pinned.isAny()) {
        return;
    }
    const usb::PortPath found = transport_.portNumbers();
    selection_.pinned = found;
    const std::vector<usb::PortPath> others = attachedUnits(transport_, selection_);
    if (others.size() < 2) {
        return;
    }
    // The same port path on another bus cannot be told apart by a port path alone.
    const auto twin = std::find_if(others.begin(), others.end(), [&](const usb::PortPath& p) {
        return p.ports == found.ports && p.bus != found.bus;
    });
    selection_.busMatters = selection_.busMatters || twin != others.end();
    if (twin == others.end()) {
        qWarning(
            "Several units are attached; using the one on port path %s (choose another with "
            "--port)",
            qUtf8Printable(selection_.placeText()));
    } else {
        QStringList all;
        for (const usb::PortPath& place : others) {
            all << QString::fromStdString(place.textWithBus());
        }
        qWarning(
            "Several units are attached (%s); using the one on port path %s (bus %d) (choose "
            "another with --port and its bus, such as --port %s)",
            qUtf8Printable(all.join(", ")), found.text().c_str(), found.bus,
            twin->textWithBus().c_str());
    }
    qWarning("%s", kAllHint);
}

bool UnitSession::reportUnopenable() {
    const trn::UsbTransportV2::OpenFailure& denied = transport_.lastOpenFailure();
    if (denied.code == 0) {
        return false;
    }
    const QString where = placeText(denied.port, selection_.busMatters || selection_.port.bus != 0);
    if (denied.inUse()) {
        reportInUse("unit", where);
    } else if (denied.accessDenied()) {
        qCritical("The unit on port path %s was found but cannot be opened (%s): %s",
                  qUtf8Printable(where), denied.text().c_str(), kOpenAdvice);
    } else {
        qCritical("The unit on port path %s was found but cannot be opened (%s)",
                  qUtf8Printable(where), denied.text().c_str());
    }
    return true;
}

bool UnitSession::unitPresent() {
    const std::vector<usb::PortPath> places = transport_.listDevices();
    return std::any_of(places.begin(), places.end(), [&](const usb::PortPath& place) {
        return selection_.portFilter().covers(place);
    });
}

// The model lets the link's failures in reading the values pass; here they fail the read as
// those of finding the unit and reading its catalogue do.
bool UnitSession::load() {
    try {
        if (model_.load()) {
            return true;
        }
        loadFailure_ = model_.lastLoadFailure();
    } catch (const std::exception& e) {
        loadFailure_ = e.what();
    }
    return false;
}

bool UnitSession::connectWithRetry(bool logAttempts) {
    for (int attempt = 0; attempt < 200 && !platform::interruptRequested; ++attempt) {
        if (logAttempts) {
            qDebug("trying to connect (retries: %i)", attempt);
        }
        platform::sleepMs(100);
        if (load()) {
            return true;
        }
    }
    return false;
}

bool UnitSession::loadOnce() {
    if (load()) {
        pinFoundUnit();
        return true;
    }
    const usb::PortPath reached = transport_.portNumbers();
    if (!reached.isAny()) {
        selection_.pinned = reached;
    }
    return false;
}

bool UnitSession::waitForUnit(bool logAttempts, const char* failure) {
    if (connectWithRetry(logAttempts)) {
        pinFoundUnit();
        return true;
    }
    if (platform::interruptRequested) {
        return false;
    }
    qCritical(failure, qUtf8Printable(selection_.portText));
    // The port text as typed may be empty or wider than the place looked at (the one the unit
    // was pinned to, or the unit the attempts reached): that place follows on its own line.
    QString place = selection_.portFilter().isAny() ? QString() : selection_.placeText();
    if (selection_.portFilter().isAny() && !transport_.portNumbers().isAny()) {
        place = placeText(transport_.portNumbers(), selection_.busMatters);
    }
    if (!place.isEmpty() && place != selection_.portText) {
        qCritical("The unit looked for is on port path %s", qUtf8Printable(place));
    }
    // Why a unit that is there could not be read; a unit that is not there needs no cause.
    if (!reportUnopenable() && unitPresent()) {
        qCritical("The last attempt failed: %s", loadFailure_.c_str());
    }
    printDeviceList();
    return false;
}

bool UnitSession::storeImport(bool imported, bool partly, QtMsgType successLevel,
                              const char* success) {
    const trn::SettingsModel::ImportReport& report = model_.importReport();
    for (const std::string& note : report.notes) {
        qWarning("%s", note.c_str());
    }
    std::string unsent;  // why the unit did not get what was to be sent
    try {
        // After a refusal nothing was changed, so the commit saves what the unit already holds.
        model_.writeChanged();
        transport_.commit();
    } catch (const std::exception& e) {
        unsent = e.what();
    }
    if (imported && unsent.empty()) {
        if (successLevel == QtInfoMsg) {
            qInfo("%s", success);
        } else {
            qDebug("%s", success);
        }
        return true;
    }
    qCritical("Importing settings failed!");
    if (!unsent.empty()) {
        qCritical("Sending the settings to the unit failed (%s); it may not have saved them",
                  unsent.c_str());
    } else {
        qCritical("%s; %s", report.refusal.c_str(),
                  partly ? "the other settings were written" : "nothing on the unit was changed");
    }
    return false;
}

}  // namespace unitflash
