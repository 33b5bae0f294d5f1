#pragma once

#include "UnitSelection.h"
#include "tarnlib/SettingsModel.h"
#include "tarnlib/UsbTransportV2.h"

namespace unitflash {

// The link to one unit for one step of a command: a transport restricted to the selected unit,
// and a settings model on it. Both go when the step ends, which closes the USB connection, so
// that at most one link is open at a time. A read that fails on the link, however it fails, is
// a failed read: the session says why and never throws for it.
class UnitSession {
  public:
    explicit UnitSession(const UnitSelection& selection);
    UnitSession(const UnitSession&) = delete;
    UnitSession& operator=(const UnitSession&) = delete;

    trn::SettingsModel& model() { return model_; }
    // The selection as this link leaves it: once it has reached the unit, pinned to the unit's
    // place, for the later steps of the command.
    const UnitSelection& selection() const { return selection_; }

    // Reads the unit's settings once. A unit reached but not read pins the selection all the
    // same.
    bool loadOnce();
    // Why the last read failed (the link's error text).
    const std::string& loadFailure() const { return loadFailure_; }
    // The last read reached a unit, whether or not it could read it.
    bool reachedUnit() { return !transport_.portNumbers().isAny(); }

    // Waits for the unit and reads its settings: up to 200 attempts, each after a 100 ms sleep;
    // an interrupt ends the attempts. When it does not come, logs `failure` (a format whose %s
    // takes the place looked at), why the last attempt failed, and lists the attached units;
    // when an interrupt ends the wait, logs nothing.
    bool waitForUnit(bool logAttempts, const char* failure);

    // When the last attempt found the unit but could not open it, says so (with the udev rule,
    // on Windows the driver, for a permission problem) and gives true.
    bool reportUnopenable();

    // A unit is attached at the place the selection looks at (whether or not it can be read).
    bool unitPresent();

    // Says what the import skipped or changed on the way, sends what it applied and has the
    // unit save its settings in flash memory, also after a refusal (`partly`: an import that
    // applied what it could; else one that applied nothing); then reports the import:
    // `success` at `successLevel` (info or debug), or its failure and why. True when imported
    // and sent.
    bool storeImport(bool imported, bool partly, QtMsgType successLevel, const char* success);

  private:
    bool load();
    bool connectWithRetry(bool logAttempts);
    void pinFoundUnit();

    UnitSelection selection_;
    trn::UsbTransportV2 transport_;
    trn::SettingsModel model_;
    std::string loadFailure_;
};

// The places of the attached units (in normal operation) that the user's --port and --name
// allow, in the order the USB library lists them.
std::vector<usb::PortPath> attachedUnits(trn::UsbTransportV2& transport,
                                         const UnitSelection& selection);

}  // namespace unitflash
