#pragma once

#include <QString>

#include "usb/PortPath.h"

// How far a firmware update got with the unit, so that the caller can tell the user what state
// a failed or interrupted update leaves the unit in.
enum class UpdateStage {
    kNotStarted,      // no flash changed; the unit may sit in its boot loader
    kFlashChanging,   // erasing or programming began and did not finish
    kReadProtected,   // the chip is read-protected: the erase changed nothing
    kFlashWritten,    // the whole image is written; the unit still sits in its boot loader
    kLeftUnchanged,   // the image was refused and the unit went back to its old firmware
    kLeftProgrammed,  // the unit left its boot loader to start the new firmware
};

// Erases and programs the first unit in DFU mode on `port` (or below it; any for an empty
// port) with image 0 of a .dfu file, then returns it to normal operation. Gives how far it got:
// kLeftProgrammed when all of it succeeded.
UpdateStage updateFirmware(const QString& dfuFile, const usb::PortPath& port = {});

// Reads and checks the whole .dfu file and its first image without touching any device; logs
// why when the file cannot be a firmware update.
bool checkFirmwareFile(const QString& dfuFile);
