#pragma once

#include <QString>

#include <memory>

#include "usb/PortPath.h"

namespace dfu {

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

// The firmware update of one unit in DFU mode with image 0 of a .dfu file, in the steps the
// caller runs one after another, in this order. Each step gives true when it is done; one that
// fails says why, and stage() tells how far the update got. The programming reads the flash
// back where the boot loader allows, so a step that succeeds has verified what it wrote.
class FirmwareUpdate {
  public:
    explicit FirmwareUpdate(const QString& dfuFile);
    ~FirmwareUpdate();
    FirmwareUpdate(const FirmwareUpdate&) = delete;
    FirmwareUpdate& operator=(const FirmwareUpdate&) = delete;

    // Reads the file, waits for a unit in DFU mode on `port` (or below it; any for an empty
    // port) and reads its memory map.
    bool findBootloader(const usb::PortPath& port);
    // Refuses an image that is not for the writable internal flash, before anything is erased;
    // the unit then goes back to its old firmware.
    bool checkImage();
    // Optional, before the erase: reads the flash the image covers, so that the erase and the
    // programming leave alone the sectors that already hold what they would write. A chip whose
    // flash cannot be read is updated whole, after a line that says why.
    bool compare();
    bool erase();
    bool program();
    // Makes the unit leave its boot loader to start the new firmware.
    bool leave();

    UpdateStage stage() const { return stage_; }

  private:
    void noteRefusal();

    struct Held;
    std::unique_ptr<Held> held_;
    UpdateStage stage_ = UpdateStage::kNotStarted;
};

// Reads and checks the whole .dfu file and its first image without touching any device; logs
// why when the file cannot be a firmware update.
bool checkFirmwareFile(const QString& dfuFile);

}  // namespace dfu
