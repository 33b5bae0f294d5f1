#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/UnitHardware.h"
#include "sim/VirtualDevice.h"

namespace sim {

// DFU states (bState) and their names.
enum class DfuState : uint8_t {
    appIdle = 0,
    appDetach = 1,
    dfuIdle = 2,
    dfuDnloadSync = 3,
    dfuDnbusy = 4,
    dfuDnloadIdle = 5,
    dfuManifestSync = 6,
    dfuManifest = 7,
    dfuManifestWaitReset = 8,
    dfuUploadIdle = 9,
    dfuError = 10,
};
inline const char* dfuStateName(DfuState state) {
    static const char* const kNames[] = {
        "appIDLE",          "appDETACH",   "dfuIDLE",
        "dfuDNLOAD-SYNC",   "dfuDNBUSY",   "dfuDNLOAD-IDLE",
        "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET",
        "dfuUPLOAD-IDLE",   "dfuERROR"};
    const auto i = static_cast<size_t>(state);
    return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "unknown state";
}

// DFU status codes (bStatus) and their names.
enum class DfuStatus : uint8_t {
    ok = 0x00,
    errTarget = 0x01,
    errFile = 0x02,
    errWrite = 0x03,
    errErase = 0x04,
    errCheckErased = 0x05,
    errProg = 0x06,
    errVerify = 0x07,
    errAddress = 0x08,
    errNotdone = 0x09,
    errFirmware = 0x0A,
    errVendor = 0x0B,
    errUsbr = 0x0C,
    errPor = 0x0D,
    errUnknown = 0x0E,
    errStalledPkt = 0x0F,
};
inline const char* dfuStatusName(DfuStatus status) {
    static const char* const kNames[] = {
        "OK",      "errTARGET", "errFILE",    "errWRITE",     "errERASE",    "errCHECK_ERASED",
        "errPROG", "errVERIFY", "errADDRESS", "errNOTDONE",   "errFIRMWARE", "errVENDOR",
        "errUSBR", "errPOR",    "errUNKNOWN", "errSTALLEDPKT"};
    const auto i = static_cast<size_t>(status);
    return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "unknown status";
}

// Faults a test can make the boot loader show. They may be changed while the device runs.
struct BootloaderFaults {
    // Erase commands spend their time and end in errERASE with nothing erased.
    bool eraseError = false;
    // Programming stops half-way through a block and ends in errPROG.
    bool writeError = false;
    // The boot loader reads every programmed block back: a block that did not come out as sent
    // (its flash was not erased) ends in errVERIFY. Off, such a block silently holds the AND.
    bool verifyWrites = false;
    // Read protection is active: erase and write end in errVENDOR, uploads of memory stall with
    // errVENDOR; get commands and set address pointer still work, so the chip can leave DFU
    // mode. A read-unprotect command mass-erases the flash and restarts the chip.
    bool readProtected = false;
    // The n-th DFU request (counting from 1) finds the cable pulled; 0 = never. Bus::replug
    // plugs the device back in as it was.
    unsigned unplugAtRequest = 0;
    // The functional descriptor lacks the upload bit and UPLOAD requests stall.
    bool noUpload = false;
    // Opening the device is refused (LIBUSB_ERROR_ACCESS) for this many milliseconds after it
    // enumerates, as on a host where udev has not yet applied the device's permissions.
    unsigned denyOpenMs = 0;
    // Every GETSTATUS that answers dfuDNBUSY asks the host to wait this long (bwPollTimeout, up
    // to 0xFFFFFF ms in DFU 1.1) before its next request, whatever the command takes; 0 = the
    // real time. As a boot loader with a wrong timing table: the host sits in its wait.
    uint32_t busyPollMs = 0;
    // The cause of an error does not go away: CLRSTATUS is taken but the chip stays in dfuERROR
    // with its status, as one whose flash controller keeps its error flag set.
    bool errorPersists = false;
    // Not a fault: as the real chip after a reset, the boot loader starts in dfuERROR
    // (errFIRMWARE) and stays there until CLRSTATUS. False starts it in dfuIDLE.
    bool startInError = true;
};

// How long the chip takes and what it tells the host, by default as a real STM32F405/407 shows
// it (sim/README.md names the sources); a scenario may change them.
struct BootloaderTiming {
    // Erase and program times: the datasheet's typical ones, or its maximum ones.
    bool worstCase = false;
    // bwPollTimeout of the status that starts a sector or mass erase; the chip holds the next
    // request until the erase is done.
    uint32_t erasePollMs = 100;
    // bwPollTimeout of the status that starts a Set Address Pointer; the chip takes that long.
    uint32_t setAddressPollMs = 104;
    // Reads wTransferSize in the block address formula ((block - 2) x wTransferSize + pointer)
    // as the block's own wLength, as a chip may: a short block numbered past 2 then lands
    // elsewhere than a host that reads it as 2048 expects.
    bool blockAddressFromLength = false;
    // From the chip leaving the bus to the started firmware (or the boot loader again)
    // enumerating; a firmware that sets up much before its USB takes longer.
    uint32_t restartMs = 300;
};

// The STM32F405/407 system-memory DFU boot loader (DfuSe) of a unit: four alternate settings
// (internal flash, option bytes, OTP, device feature), the DFU 1.1 state machine with the DfuSe
// commands, flash that erases to 0xFF and programs by clearing bits, and datasheet erase and
// programming times spent on the virtual clock. Leaving DFU mode jumps to the address pointer:
// the firmware (hw->makeUnit) starts when an intact image lies there, else the chip comes back
// as its boot loader. sim/README.md names the document behind each behaviour.
class SimulatedBootloader : public VirtualDevice,
                            public std::enable_shared_from_this<SimulatedBootloader> {
  public:
    // The boot loader's own IDs, as the chip's system memory has them, kept apart from the
    // product's definition for the same reason as the unit's.
    static constexpr uint16_t kVendorId = 0x0483;
    static constexpr uint16_t kProductId = 0xDF11;
    static constexpr uint16_t kTransferSize = 2048;
    static constexpr uint16_t kDetachTimeoutMs = 255;
    static constexpr uint8_t kAlternateSettings = 4;
    // From the GETSTATUS that answers dfuMANIFEST to the chip leaving the bus.
    static constexpr uint32_t kDetachDelayMs = 5;

    // DFU class request numbers.
    enum Request : uint8_t {
        kDetach = 0,
        kDnload = 1,
        kUpload = 2,
        kGetStatus = 3,
        kClrStatus = 4,
        kGetState = 5,
        kAbort = 6,
    };

    explicit SimulatedBootloader(std::shared_ptr<UnitHardware> hardware,
                                 BootloaderFaults faults = {},
                                 std::string serialNumber = "3276376E3034");
    SimulatedBootloader(const SimulatedBootloader&) = delete;
    SimulatedBootloader& operator=(const SimulatedBootloader&) = delete;

    BootloaderFaults& faults() { return faults_; }
    BootloaderTiming& timing() { return timing_; }
    DfuState state() const { return state_; }
    DfuStatus status() const { return status_; }
    uint32_t addressPointer() const { return pointer_; }
    const std::shared_ptr<UnitHardware>& hardware() const { return hardware_; }
    // Takes over the DFU state of a chip that stayed powered since an earlier process.
    void restoreState(DfuState state, DfuStatus status, uint32_t pointer);
    // The memory-layout string of an alternate setting.
    static const char* layoutString(uint8_t alternate);

    libusb_device_descriptor deviceDescriptor() const override;
    std::vector<uint8_t> configDescriptor() const override;
    std::optional<std::string> stringDescriptor(uint8_t index) const override;
    int setAltSetting(int interfaceNumber, int alternate) override;
    int control(const ControlSetup& setup, uint8_t* data, unsigned timeoutMs) override;
    int open() override;
    void attached(Bus& bus) override;
    void detached() override;

  private:
    struct Sector {
        uint32_t address;
        uint32_t size;
        bool erasable;
    };
    struct Memory {
        std::vector<Sector> sectors;
        uint32_t base;
        std::vector<uint8_t>* bytes;
        bool programClearsBits;  // flash and OTP; option bytes are rewritten as a whole
    };
    struct Outcome {
        explicit Outcome(DfuStatus status_ = DfuStatus::ok, uint64_t busyUs_ = 0,
                         std::optional<uint32_t> pollMs_ = std::nullopt, bool resets_ = false)
            : status(status_), busyUs(busyUs_), pollMs(pollMs_), resets(resets_) {}
        DfuStatus status = DfuStatus::ok;
        uint64_t busyUs = 0;
        // The bwPollTimeout the chip reports for it; unset: the busy time.
        std::optional<uint32_t> pollMs;
        // Option bytes written: the chip resets once the work is done.
        bool resets = false;
    };

    int handle(const ControlSetup& setup, uint8_t* data);
    int dnload(const ControlSetup& setup, const uint8_t* data);
    int upload(const ControlSetup& setup, uint8_t* data);
    uint64_t blockAddress(uint16_t blockNumber, size_t length) const;
    int getStatus(const ControlSetup& setup, uint8_t* data);
    int stall(DfuStatus status);
    int waitWhileBusy(unsigned timeoutMs);
    Outcome execute();
    Outcome command();
    Outcome program(uint64_t address);
    Outcome erase(uint32_t address);
    Outcome massErase();
    void leaveTo(bool startFirmware, uint32_t delayMs);

    Memory& memory() { return memories_[alternate_]; }
    const Sector* sectorAt(const Memory& memory, uint64_t address) const;
    // Whether [address, address + size) lies within the memory.
    bool covers(const Memory& memory, uint64_t address, uint64_t size) const;

    std::shared_ptr<UnitHardware> hardware_;
    BootloaderFaults faults_;
    BootloaderTiming timing_;
    std::string serialNumber_;
    std::vector<uint8_t> optionBytes_;
    std::vector<uint8_t> otp_;
    std::vector<uint8_t> deviceFeature_;
    Memory memories_[kAlternateSettings];

    DfuState state_ = DfuState::dfuIdle;
    DfuStatus status_ = DfuStatus::ok;
    uint8_t alternate_ = 0;
    uint32_t pointer_ = UnitHardware::kFlashBase;
    uint16_t pendingBlock_ = 0;
    std::vector<uint8_t> pending_;  // the DNLOAD data awaiting its GETSTATUS
    bool pendingUnprotect_ = false;
    uint64_t busyUntilUs_ = 0;
    Outcome busyOutcome_;
    unsigned requests_ = 0;
    bool gone_ = false;
    uint64_t attachedAtUs_ = 0;
};

}  // namespace sim
