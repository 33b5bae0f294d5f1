#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include "UnitSelection.h"

namespace trn {
class SettingsModel;
}

// The commands that runApplication dispatches to, and the helpers they share.

// Port path text ("4.2") to port numbers; empty for no text or a text it cannot parse.
std::vector<uint8_t> parsePortPath(const QString& text);

// Parses the typed --port into the selection; false, after the parse's message, when the text
// is no port path, so that a typo never widens a command to any unit.
bool parseSelectedPort(UnitSelection& selection);

// Prints the port paths of all attached units to standard output; always true.
bool printDeviceList();

// Up to 200 attempts of load, each after a 100 ms sleep; an interrupt ends the attempts.
bool connectWithRetry(trn::SettingsModel& model, bool logAttempts);

bool exportSettings(const QString& fileName, UnitSelection& selection);
bool importSettings(const QString& fileName, UnitSelection& selection);

// The default command: firmware update with settings preservation.
bool runUpdate(const QString& firmwareFile, bool discardSettings, bool noBackup,
               UnitSelection& selection);
