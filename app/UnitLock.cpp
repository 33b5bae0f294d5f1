#include "UnitLock.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLockFile>

#include <map>
#include <memory>
#include <optional>

#include "UnitSelection.h"
#include "dfu/FindDfuDevices.h"
#include "tarnlib/UsbTransportV2.h"

namespace unitflash {

namespace {

const QString kLockSuffix = ".lock";

// unitflash-1-1.4.lock: the program's name keeps a simulated bench apart from the real one; the
// place in the kernel's form.
QString lockPrefix() {
    return QCoreApplication::applicationName() + '-';
}

std::unique_ptr<QLockFile> lockFor(const QString& fileName) {
    auto lock = std::make_unique<QLockFile>(QDir::temp().filePath(fileName));
    // An update outlasts any age limit; only a lock whose process has ended is stale.
    lock->setStaleLockTime(0);
    return lock;
}

// Whether this run holds the place now, taking it when it is free. Where no lock can be made
// (no writable temporary folder) the run goes on: a unit's refusal of a second claim still
// stands between two runs.
bool holdPlace(const usb::PortPath& place) {
    static std::map<std::string, std::unique_ptr<QLockFile>> held;
    const std::string key = place.textWithBus();
    if (held.count(key) != 0) {
        return true;
    }
    std::unique_ptr<QLockFile> lock =
        lockFor(lockPrefix() + QString::fromStdString(key) + kLockSuffix);
    if (lock->tryLock(0)) {
        held[key] = std::move(lock);
        return true;
    }
    return lock->error() != QLockFile::LockFailedError;
}

}  // namespace

void reportInUse(const char* device, const QString& where) {
    qCritical(
        "The %s on port path %s is in use by another program (another run of this tool, say); "
        "nothing was done to it. Wait until that run has ended, then run this command again.",
        device, qUtf8Printable(where));
}

void installUnitLocks() {
    trn::UsbTransportV2::setPlaceCheck(holdPlace);
    dfu::setDfuPlaceCheck([](const usb::PortPath& place) {
        if (holdPlace(place)) {
            return true;
        }
        reportInUse("boot loader", placeText(place, false));
        return false;
    });
}

bool noOtherRunOn(const QString& portText) {
    const std::optional<usb::PortPath> filter =
        portText.isEmpty() ? usb::PortPath{} : usb::PortPath::parse(portText.toStdString());
    if (!filter) {
        return true;
    }
    const QString prefix = lockPrefix();
    for (const QString& name : QDir::temp().entryList({prefix + '*' + kLockSuffix}, QDir::Files)) {
        const std::optional<usb::PortPath> place = usb::PortPath::parse(
            name.mid(prefix.size(), name.size() - prefix.size() - kLockSuffix.size())
                .toStdString());
        if (!place || !filter->covers(*place)) {
            continue;
        }
        // Taken and dropped again when free: a lock left by a run that ended goes with it.
        const std::unique_ptr<QLockFile> probe = lockFor(name);
        if (!probe->tryLock(0) && probe->error() == QLockFile::LockFailedError) {
            reportInUse("unit", placeText(*place, filter->bus != 0));
            return false;
        }
    }
    return true;
}

}  // namespace unitflash
