#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/UnitCatalogue.h"
#include "sim/UnitHardware.h"
#include "sim/VirtualDevice.h"

namespace sim {

class PacketQueue;

// Faults a test can make the unit show. They may be changed while the unit is on the bus;
// counters count down as the faults happen.
struct UnitFaults {
    unsigned corruptChecksums = 0;  // the next n frames carry a wrong checksum
    unsigned shortFrames = 0;       // the next n frames lose their last byte
    unsigned overlongFrames = 0;    // the next n frames carry 4 bytes more than they announce
    unsigned badCatalogues = 0;     // the next n compressed catalogues have a broken header
    unsigned silentRequests = 0;    // the next n data requests are accepted but not answered
    unsigned stallRequests = 0;     // the next n vendor requests stall
    unsigned unplugAtTransfer = 0;  // the n-th transfer from now (control or bulk) finds
                                    // the cable pulled
    bool denyOpen = false;          // opening answers LIBUSB_ERROR_ACCESS
    int openError = 0;              // else opening answers this libusb error (0: none)
};

// How a unit is made: identification and factory-default values.
struct UnitOptions {
    uint16_t bcdDevice = 0x0300;  // 0x0300 and above: compressed catalogue
    std::string product = "Quorel Control Unit";
    std::string serialNumber = "QCU-000001";
    std::string vio = "VIO 2.1";
    std::string hardwareUid = "3276376E30340038";
    // Factory defaults that differ from the built-in ones, by exact setting name.
    std::map<std::string, std::string> texts;
    std::map<std::string, std::vector<double>> numbers;
    UnitFaults faults;
    // The faults hold only in the life of the unit that follows this many restarts of its
    // firmware on the hardware (0: as first plugged in, 1: after the next restart); -1: always.
    int faultsAfterRestarts = -1;
    // From leaving the bus to the boot loader enumerating; real units vary widely here.
    uint32_t bootloaderDelayMs = 300;
};

// A unit in normal operation on the virtual bus: VID 0x6444, PID 0x0001, configuration 1 with
// interface 0 (bulk OUT 0x02, bulk IN 0x81, 64-byte packets) and the settings protocol: vendor
// requests 9 (catalogue frame), 10 (image slice frame), 11 (announce a write frame) and 7
// (commit), frames with the STM32 hardware checksum. It starts from the settings saved in the
// settings sector of its flash when this firmware version wrote them, else from its factory
// defaults, and restarts into its boot loader when "trigger bootloader" is
// written non-zero.
class SimulatedUnit : public VirtualDevice, public std::enable_shared_from_this<SimulatedUnit> {
  public:
    // The device's own IDs, written here as the unit's firmware has them, not taken from the
    // product's definition: a slip there must not be copied into the device it talks to.
    static constexpr uint16_t kVendorId = 0x6444;
    static constexpr uint16_t kProductId = 0x0001;
    static constexpr uint8_t kEndpointOut = 0x02;
    static constexpr uint8_t kEndpointIn = 0x81;
    // From the trigger write to leaving the bus, and from there to the boot loader enumerating.
    static constexpr uint32_t kLeaveDelayMs = 20;
    static constexpr uint32_t kRestartDelayMs = 300;
    // Writing the settings to flash on commit keeps the unit busy this long.
    static constexpr uint32_t kCommitBusyMs = 25;

    enum Request : uint8_t { kCommit = 7, kCatalogue = 9, kReadData = 10, kWriteData = 11 };

    explicit SimulatedUnit(std::shared_ptr<UnitHardware> hardware, UnitOptions options = {});
    ~SimulatedUnit() override;
    SimulatedUnit(const SimulatedUnit&) = delete;
    SimulatedUnit& operator=(const SimulatedUnit&) = delete;

    // A factory for UnitHardware::makeUnit that makes units with these options.
    static std::function<std::shared_ptr<VirtualDevice>(std::shared_ptr<UnitHardware>)> factory(
        UnitOptions options);

    UnitFaults& faults() { return options_.faults; }
    const std::shared_ptr<UnitHardware>& hardware() const { return hardware_; }
    const UnitCatalogue& catalogue() const { return *catalogue_; }
    const std::vector<uint8_t>& image() const { return image_; }
    // Takes over a value image kept from an earlier process (a unit that stayed powered);
    // false when it does not fit this unit's catalogue.
    bool restoreImage(const std::vector<uint8_t>& image);
    // The catalogue bytes as the unit sends them (compressed behind 4 bytes when bcdDevice says).
    std::vector<uint8_t> cataloguePayload() const;

    // Typed access to the current values by exact name; nothing / false when there is no such
    // setting, element or type.
    std::optional<double> number(const std::string& name, uint32_t index = 0) const;
    std::optional<std::string> text(const std::string& name) const;
    bool setNumber(const std::string& name, double value, uint32_t index = 0);
    bool setText(const std::string& name, const std::string& text);

    libusb_device_descriptor deviceDescriptor() const override;
    std::vector<uint8_t> configDescriptor() const override;
    std::optional<std::string> stringDescriptor(uint8_t index) const override;
    int open() override;
    bool inReady(uint8_t endpoint) const override;
    int setConfiguration(int configuration) override;
    int claimInterface(int interfaceNumber) override;
    int reset() override;
    int control(const ControlSetup& setup, uint8_t* data, unsigned timeoutMs) override;
    int bulk(uint8_t endpoint, uint8_t* data, int length, int* transferred,
             unsigned timeoutMs) override;

  private:
    bool countTransfer();
    void sendFrame(uint16_t kind, const std::vector<uint8_t>& payload);
    void receiveFrame(const uint8_t* frame, size_t length);
    void applyRecords(const uint8_t* payload, size_t length);
    void startBootloader();
    void writeIdentification();

    std::shared_ptr<UnitHardware> hardware_;
    UnitOptions options_;
    std::unique_ptr<UnitCatalogue> catalogue_;
    std::unique_ptr<PacketQueue> in_;
    std::vector<uint8_t> image_;
    std::vector<bool> writable_;
    size_t announcedWrite_ = 0;  // length of the frame request 11 announced; 0: none
    bool leaving_ = false;
};

}  // namespace sim
