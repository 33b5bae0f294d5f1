#pragma once

#include <QString>

// Erases and programs the first unit in DFU mode with image 0 of a .dfu file, then returns it
// to normal operation; true when all of it succeeded.
bool updateFirmware(const QString& dfuFile);

// Reads and checks the whole .dfu file and its first image without touching any device; logs
// why when the file is unusable.
bool checkFirmwareFile(const QString& dfuFile);
