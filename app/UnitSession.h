#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include "SettingsModel.h"
#include "UsbTransportV2.h"

// The link to one unit for one step of a command: a transport restricted to the user's port
// and product name, and a settings model on it. Both go when the step ends, which closes the
// USB connection, so that at most one link is open at a time.
class UnitSession {
  public:
    UnitSession(const std::vector<uint8_t>& port, const std::string& deviceName);
    UnitSession(const UnitSession&) = delete;
    UnitSession& operator=(const UnitSession&) = delete;

    trn::SettingsModel& model() { return model_; }

    // Waits for the unit and reads its settings (connectWithRetry). When it does not come,
    // logs `failure` (a format whose %s takes the port text) and lists the attached units.
    bool waitForUnit(bool logAttempts, const char* failure, const QString& portText);

    // Sends the changed values and has the unit save its settings in flash memory.
    void storeChanges();

  private:
    trn::UsbTransportV2 transport_;
    trn::SettingsModel model_;
};
