#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace trn {
class SettingsModel;
}

// The commands that runApplication dispatches to, and the helpers they share.

// Port path text ("4.2") to port numbers; empty for no text or a text it cannot parse.
std::vector<uint8_t> parsePortPath(const QString& text);

// Prints the port paths of all attached units to standard output; always true.
bool printDeviceList();

// Up to 200 attempts of load, each after a 100 ms sleep.
bool connectWithRetry(trn::SettingsModel& model, bool logAttempts);

bool exportSettings(const QString& fileName, const QString& portText,
                    const std::string& deviceName);
bool importSettings(const QString& fileName, const QString& portText,
                    const std::string& deviceName);

// The default command: firmware update with settings preservation.
bool runUpdate(const QString& firmwareFile, bool discardSettings, bool noBackup,
               const QString& portText, const std::string& deviceName);
