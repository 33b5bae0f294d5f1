#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/VirtualDevice.h"

namespace sim {

// One enumeration of a device at a port. libusb device objects refer to it; when the device
// leaves the bus it stays behind with `present` false, so old handles answer NO_DEVICE.
struct Attachment {
    uint8_t busNumber = 1;
    std::vector<uint8_t> portPath;
    uint8_t address = 0;
    std::shared_ptr<VirtualDevice> device;
    bool present = true;
    int configuration = 1;
    std::map<int, const void*> claims;  // interface number -> the libusb handle holding it
};

// The virtual USB bus of this process: the devices the libusb functions of the simulator see.
// All functions may be called from any thread; they take the simulation lock (VirtualClock).
//
// How many 64-byte packets of one transfer a full-speed host controller moves in a 1 ms frame.
// A scenario may lower them to stand for a bus shared with other devices.
struct BusModel {
    unsigned controlPacketsPerFrame = 13;
    unsigned bulkPacketsPerFrame = 17;
};

// Bus time model (USB full speed): the host controller schedules transfers in 1 ms frames. A
// transfer's data packets go from the current frame on, at most the model's packets per frame,
// and the transfer completes at the end of the frame that carried its last packet: a control
// transfer takes at least the rest of a frame, a 2048-byte data stage at least 3 frames. The
// time is spent on the virtual clock by the thread that made the transfer.
class Bus {
  public:
    static constexpr uint64_t kFrameUs = 1000;
    static constexpr uint64_t kPacketBytes = 64;

    static Bus& instance();

    // Removes every device (and whatever unplug kept for replug) and sets the clock to 0.
    void reset();

    // Plugs `device` in at the port (a device already there is unplugged first).
    void attach(uint8_t busNumber, std::vector<uint8_t> portPath,
                std::shared_ptr<VirtualDevice> device);
    // Unplugs the device at the port and keeps it for replug; returns it (null when none).
    std::shared_ptr<VirtualDevice> unplug(uint8_t busNumber, const std::vector<uint8_t>& portPath);
    // Plugs back what the last unplug at this port removed; false when there is nothing.
    bool replug(uint8_t busNumber, const std::vector<uint8_t>& portPath);
    // `device` leaves the bus now; `replacement` (if any) appears at the same port after
    // delayMs of virtual time. Devices use this to restart as another device.
    void reenumerate(const VirtualDevice& device, std::shared_ptr<VirtualDevice> replacement,
                     uint32_t delayMs = 0);

    std::shared_ptr<VirtualDevice> deviceAt(uint8_t busNumber,
                                            const std::vector<uint8_t>& portPath) const;
    std::vector<std::shared_ptr<Attachment>> attachments() const;
    bool empty() const;

    uint64_t nowUs() const;
    uint64_t nowMs() const { return nowUs() / 1000; }
    // Busy time of a device (or the bus) on the virtual clock.
    void spendUs(uint64_t us);
    // When a transfer of `bytes` that starts at `startUs` completes.
    static uint64_t transferEndUs(uint64_t startUs, size_t bytes, bool control);
    // The bus time of a transfer that starts at a frame's beginning.
    static uint64_t controlCostUs(size_t bytes) { return transferEndUs(0, bytes, true); }
    static uint64_t bulkCostUs(size_t bytes) { return transferEndUs(0, bytes, false); }
    // The model in use; Bus::reset sets the default one.
    static BusModel model();
    static void setModel(const BusModel& model);

    // Loads the devices a scenario file names (see sim/README.md). Throws std::runtime_error.
    void loadScenarioFile(const std::string& path);
    // Loads the scenario named by UNITFLASH_SIM_SCENARIO once per process, if the bus is empty.
    // Returns false (after a message on stderr) when that file is unusable.
    bool loadScenarioFromEnvironmentOnce();
    // Called when the last libusb context ends: lets the scenario save device state.
    void contextsEnded();
    // Called after anything that may change a device (a transfer, a device arriving or
    // leaving): the scenario's state file follows at once, so a killed process leaves the
    // devices' real state behind.
    void changed();

  private:
    Bus() = default;
    using PortKey = std::pair<uint8_t, std::vector<uint8_t>>;
    void detachLocked(const std::shared_ptr<Attachment>& attachment);
    uint8_t nextAddress(uint8_t busNumber);

    std::vector<std::shared_ptr<Attachment>> attachments_;
    std::map<PortKey, std::shared_ptr<VirtualDevice>> unplugged_;
    std::map<uint8_t, uint8_t> lastAddress_;
    bool scenarioChecked_ = false;
};

}  // namespace sim
