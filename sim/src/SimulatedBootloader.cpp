#include "sim/SimulatedBootloader.h"

#include <algorithm>
#include <cstring>

#include "DfuTimingRecord.h"
#include "sim/Bus.h"
#include "sim/DfuTiming.h"
#include "sim/VirtualClock.h"

namespace sim {
namespace {

constexpr const char* kLayouts[SimulatedBootloader::kAlternateSettings] = {
    "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg",
    "@Option Bytes  /0x1FFFC000/01*016 e",
    "@OTP Memory /0x1FFF7800/01*512 e,01*016 e",
    "@Device Feature/0xFFFF0000/01*004 e",
};

constexpr uint8_t kStringManufacturer = 1;
constexpr uint8_t kStringProduct = 2;
constexpr uint8_t kStringSerial = 3;
constexpr uint8_t kStringFirstLayout = 4;

// DfuSe command bytes (the first byte of a DNLOAD with block number 0).
constexpr uint8_t kCmdGetCommands = 0x00;
constexpr uint8_t kCmdSetAddress = 0x21;
constexpr uint8_t kCmdErase = 0x41;
constexpr uint8_t kCmdReadUnprotect = 0x92;

// STM32F4 datasheet times, typical and maximum (32-bit parallelism).
uint64_t wordProgramUs(bool worstCase) {
    return worstCase ? 100 : 16;
}
uint64_t massEraseUs(bool worstCase) {
    return worstCase ? 16000000 : 8000000;
}
uint64_t sectorEraseUs(uint32_t size, bool worstCase = false) {
    const uint64_t typical = size <= 16 * 1024 ? 250000 : size <= 64 * 1024 ? 550000 : 1000000;
    return worstCase ? 2 * typical : typical;
}

// Internal flash sectors in KiB, from the start of flash (RM0090, flash module organisation).
constexpr uint32_t kFlashSectorsKiB[] = {16, 16, 16, 16, 64, 128, 128, 128, 128, 128, 128, 128};

void putU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

}  // namespace

SimulatedBootloader::SimulatedBootloader(std::shared_ptr<UnitHardware> hardware,
                                         BootloaderFaults faults, std::string serialNumber)
    : hardware_(std::move(hardware)),
      faults_(faults),
      serialNumber_(std::move(serialNumber)),
      // RDP level 0 (0xAA), no write protection; the rest of the 16 bytes reads erased.
      optionBytes_{0xEC, 0xAA, 0x13, 0x55, 0xFF, 0xFF, 0xFF, 0xFF,
                   0xFF, 0x0F, 0x00, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF},
      otp_(512 + 16, 0xFF),
      deviceFeature_(4, 0x00) {
    if (hardware_->flash.size() < UnitHardware::kFlashSize) {
        hardware_->flash.resize(UnitHardware::kFlashSize, 0xFF);
    }
    std::vector<Sector> flash;
    uint32_t address = UnitHardware::kFlashBase;
    for (uint32_t size : kFlashSectorsKiB) {
        flash.push_back(Sector{address, size * 1024, true});
        address += size * 1024;
    }
    memories_[0] = Memory{flash, UnitHardware::kFlashBase, &hardware_->flash, true};
    memories_[1] = Memory{{{0x1FFFC000, 16, false}}, 0x1FFFC000, &optionBytes_, false};
    memories_[2] =
        Memory{{{0x1FFF7800, 512, false}, {0x1FFF7A00, 16, false}}, 0x1FFF7800, &otp_, true};
    memories_[3] = Memory{{{0xFFFF0000, 4, false}}, 0xFFFF0000, &deviceFeature_, false};
    if (faults_.readProtected) {
        optionBytes_[1] = 0x55;
    }
    if (faults_.startInError) {
        state_ = DfuState::dfuError;
        status_ = DfuStatus::errFirmware;
    }
}

const char* SimulatedBootloader::layoutString(uint8_t alternate) {
    return alternate < kAlternateSettings ? kLayouts[alternate] : nullptr;
}

void SimulatedBootloader::restoreState(DfuState state, DfuStatus status, uint32_t pointer) {
    state_ = state;
    status_ = status;
    pointer_ = pointer;
}

libusb_device_descriptor SimulatedBootloader::deviceDescriptor() const {
    libusb_device_descriptor d = fullSpeedDeviceDescriptor(kVendorId, kProductId, 0x2200);
    d.bcdUSB = 0x0100;
    return d;
}

std::vector<uint8_t> SimulatedBootloader::configDescriptor() const {
    const uint8_t attributes = faults_.noUpload ? 0x09 : 0x0B;
    std::vector<uint8_t> out = {9, LIBUSB_DT_CONFIG, 0, 0, 1, 1, 0, 0xC0, 50};
    // Sized once; the growing inserts below made gcc 12 warn of a bound it misread.
    out.reserve(9 * (kAlternateSettings + 2));
    for (uint8_t alt = 0; alt < kAlternateSettings; ++alt) {
        const uint8_t iface[] = {9,
                                 LIBUSB_DT_INTERFACE,
                                 0,
                                 alt,
                                 0,
                                 0xFE,
                                 0x01,
                                 0x02,
                                 static_cast<uint8_t>(kStringFirstLayout + alt)};
        out.insert(out.end(), std::begin(iface), std::end(iface));
    }
    // One functional descriptor, after the last alternate setting.
    out.insert(out.end(), {9, 0x21, attributes});
    putU16(out, kDetachTimeoutMs);
    putU16(out, kTransferSize);
    putU16(out, 0x011A);
    out[2] = static_cast<uint8_t>(out.size());
    out[3] = static_cast<uint8_t>(out.size() >> 8);
    return out;
}

std::optional<std::string> SimulatedBootloader::stringDescriptor(uint8_t index) const {
    switch (index) {
        case kStringManufacturer:
            return std::string("STMicroelectronics");
        case kStringProduct:
            return std::string("STM32  BOOTLOADER");
        case kStringSerial:
            return serialNumber_;
        default:
            if (index >= kStringFirstLayout && index < kStringFirstLayout + kAlternateSettings) {
                return std::string(kLayouts[index - kStringFirstLayout]);
            }
            return std::nullopt;
    }
}

int SimulatedBootloader::setAltSetting(int interfaceNumber, int alternate) {
    if (interfaceNumber != 0 || alternate < 0 || alternate >= kAlternateSettings) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    alternate_ = static_cast<uint8_t>(alternate);
    return LIBUSB_SUCCESS;
}

int SimulatedBootloader::open() {
    if (bus() != nullptr && bus()->nowUs() < attachedAtUs_ + uint64_t(faults_.denyOpenMs) * 1000) {
        return LIBUSB_ERROR_ACCESS;
    }
    return LIBUSB_SUCCESS;
}

void SimulatedBootloader::attached(Bus& bus) {
    gone_ = false;
    attachedAtUs_ = bus.nowUs();
    VirtualDevice::attached(bus);
}

void SimulatedBootloader::detached() {
    gone_ = true;
    VirtualDevice::detached();
}

int SimulatedBootloader::control(const ControlSetup& setup, uint8_t* data, unsigned timeoutMs) {
    if (gone_) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (++requests_ == faults_.unplugAtRequest) {
        // The cable is pulled: the bus keeps this device for a replug at the same port. The
        // reference below keeps it alive through the bus dropping its own.
        std::shared_ptr<SimulatedBootloader> self = weak_from_this().lock();
        if (bus() != nullptr) {
            for (const auto& attachment : bus()->attachments()) {
                if (attachment->device.get() == this) {
                    bus()->unplug(attachment->busNumber, attachment->portPath);
                    break;
                }
            }
        }
        gone_ = true;
        return LIBUSB_ERROR_NO_DEVICE;
    }
    const uint8_t type = setup.bmRequestType & 0x60;
    const uint8_t recipient = setup.bmRequestType & 0x1F;
    if (type == LIBUSB_REQUEST_TYPE_STANDARD) {
        return answerStatusRequest(setup, data, configDescriptor(), alternate_)
            .value_or(LIBUSB_ERROR_PIPE);
    }
    if (type != LIBUSB_REQUEST_TYPE_CLASS || recipient != LIBUSB_RECIPIENT_INTERFACE ||
        setup.wIndex != 0) {
        return LIBUSB_ERROR_PIPE;
    }
    if (state_ == DfuState::dfuDnbusy) {
        const int result = waitWhileBusy(timeoutMs);
        if (result != LIBUSB_SUCCESS) {
            return result;
        }
    }
    return handle(setup, data);
}

// While the flash works the chip does not serve USB: a request waits (NAKed) until the
// operation ends, or times out.
int SimulatedBootloader::waitWhileBusy(unsigned timeoutMs) {
    const uint64_t now = VirtualClock::nowUs();
    if (busyUntilUs_ > now) {
        const uint64_t remaining = busyUntilUs_ - now;
        const uint64_t timeoutUs = VirtualClock::fromProgramUs(uint64_t{timeoutMs} * 1000);
        if (timeoutMs != 0 && remaining > timeoutUs) {
            VirtualClock::sleepUs(timeoutUs);
            return gone_ ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_TIMEOUT;
        }
        VirtualClock::sleepUs(remaining);
    }
    if (gone_) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    // Done, the chip waits in dfuDNLOAD-SYNC for the status request that ends the block; any
    // other request but ABORT is refused there (DFU 1.1).
    status_ = busyOutcome_.status;
    state_ = status_ == DfuStatus::ok ? DfuState::dfuDnloadSync : DfuState::dfuError;
    return LIBUSB_SUCCESS;
}

int SimulatedBootloader::handle(const ControlSetup& setup, uint8_t* data) {
    const bool in = setup.deviceToHost();
    switch (setup.bRequest) {
        case kDnload:
            return in ? stall(DfuStatus::errStalledPkt) : dnload(setup, data);
        case kUpload:
            return in ? upload(setup, data) : stall(DfuStatus::errStalledPkt);
        case kGetStatus:
            return in ? getStatus(setup, data) : stall(DfuStatus::errStalledPkt);
        case kClrStatus:
            if (in || state_ != DfuState::dfuError) {
                return stall(DfuStatus::errStalledPkt);
            }
            if (faults_.errorPersists) {
                return 0;
            }
            state_ = DfuState::dfuIdle;
            status_ = DfuStatus::ok;
            return 0;
        case kGetState:
            if (!in || state_ == DfuState::dfuManifest) {
                return stall(DfuStatus::errStalledPkt);
            }
            if (setup.wLength < 1) {
                return stall(DfuStatus::errStalledPkt);
            }
            data[0] = static_cast<uint8_t>(state_);
            return 1;
        case kAbort:
            switch (state_) {
                case DfuState::dfuIdle:
                case DfuState::dfuDnloadSync:
                case DfuState::dfuDnloadIdle:
                case DfuState::dfuManifestSync:
                case DfuState::dfuUploadIdle:
                    if (in) {
                        return stall(DfuStatus::errStalledPkt);
                    }
                    state_ = DfuState::dfuIdle;
                    pending_.clear();
                    return 0;
                default:
                    return stall(DfuStatus::errStalledPkt);
            }
        default:  // DETACH is a run-time request; the boot loader has nothing to detach from
            return stall(DfuStatus::errStalledPkt);
    }
}

int SimulatedBootloader::stall(DfuStatus status) {
    // A device already in dfuERROR keeps the status of the fault that put it there.
    if (state_ != DfuState::dfuError) {
        status_ = status;
    }
    state_ = DfuState::dfuError;
    return LIBUSB_ERROR_PIPE;
}

int SimulatedBootloader::dnload(const ControlSetup& setup, const uint8_t* data) {
    if (state_ != DfuState::dfuIdle && state_ != DfuState::dfuDnloadIdle) {
        return stall(DfuStatus::errStalledPkt);
    }
    if (setup.wLength > kTransferSize) {
        return stall(DfuStatus::errStalledPkt);
    }
    if (setup.wLength == 0) {
        // Leave DFU mode on the next GETSTATUS; accepted in dfuIDLE too (AN3156, AN2662).
        state_ = DfuState::dfuManifestSync;
        return 0;
    }
    if (setup.wValue == 1) {
        return stall(DfuStatus::errStalledPkt);
    }
    if (setup.wValue == 0) {
        const uint8_t cmd = data[0];
        const bool known =
            setup.wLength == 1
                ? (cmd == kCmdGetCommands || cmd == kCmdErase || cmd == kCmdReadUnprotect)
                : setup.wLength == 5 && (cmd == kCmdSetAddress || cmd == kCmdErase);
        if (!known) {
            return stall(DfuStatus::errStalledPkt);
        }
    }
    if (setup.wValue == 0 && data[0] == kCmdErase)
        recordEraseRequest();
    pendingBlock_ = setup.wValue;
    pending_.assign(data, data + setup.wLength);
    state_ = DfuState::dfuDnloadSync;
    return setup.wLength;
}

int SimulatedBootloader::upload(const ControlSetup& setup, uint8_t* data) {
    if (state_ != DfuState::dfuIdle && state_ != DfuState::dfuUploadIdle) {
        return stall(DfuStatus::errStalledPkt);
    }
    if (faults_.noUpload || setup.wLength > kTransferSize || setup.wValue == 1) {
        return stall(DfuStatus::errStalledPkt);
    }
    if (setup.wValue == 0) {
        const uint8_t commands[] = {kCmdGetCommands, kCmdSetAddress, kCmdErase, kCmdReadUnprotect};
        const size_t n = std::min<size_t>(sizeof commands, setup.wLength);
        if (n > 0) {
            std::memcpy(data, commands, n);
        }
        state_ = n < setup.wLength ? DfuState::dfuIdle : DfuState::dfuUploadIdle;
        return static_cast<int>(n);
    }
    if (faults_.readProtected) {
        return stall(DfuStatus::errVendor);
    }
    const Memory& mem = memory();
    const uint64_t address = blockAddress(setup.wValue, setup.wLength);
    if (sectorAt(mem, address) == nullptr) {
        return stall(DfuStatus::errAddress);
    }
    const uint64_t offset = address - mem.base;
    const size_t n = std::min<size_t>(setup.wLength, mem.bytes->size() - offset);
    if (n > 0) {
        std::memcpy(data, mem.bytes->data() + offset, n);
    }
    recordUpload(n);
    // A short block ends the upload.
    state_ = n < setup.wLength ? DfuState::dfuIdle : DfuState::dfuUploadIdle;
    return static_cast<int>(n);
}

int SimulatedBootloader::getStatus(const ControlSetup& setup, uint8_t* data) {
    if (setup.wLength < 6 || state_ == DfuState::dfuManifest) {
        return stall(DfuStatus::errStalledPkt);
    }
    uint64_t pollUs = 0;
    DfuState reported = state_;
    if (state_ == DfuState::dfuDnloadSync && pending_.empty()) {
        // The block done in dfuDNBUSY (its data is consumed): the status ends it.
        state_ = reported = DfuState::dfuDnloadIdle;
    } else if (state_ == DfuState::dfuDnloadSync) {
        // The chip answers first and then does the work; the result shows on the next status.
        busyOutcome_ = execute();
        pending_.clear();
        pollUs = busyOutcome_.pollMs ? uint64_t{*busyOutcome_.pollMs} * 1000 : busyOutcome_.busyUs;
        busyUntilUs_ = VirtualClock::nowUs() + busyOutcome_.busyUs;
        state_ = reported = DfuState::dfuDnbusy;
        if (busyOutcome_.resets && busyOutcome_.status == DfuStatus::ok) {
            leaveTo(false, static_cast<uint32_t>((busyOutcome_.busyUs + 999) / 1000));
        }
    } else if (state_ == DfuState::dfuManifestSync) {
        state_ = reported = DfuState::dfuManifest;
        recordLeave();
        leaveTo(true, kDetachDelayMs);
    }
    // In the program's own time: a program in real time sleeps it (VirtualClock).
    uint32_t pollMs = static_cast<uint32_t>((VirtualClock::toProgramUs(pollUs) + 999) / 1000);
    if (faults_.busyPollMs != 0 && reported == DfuState::dfuDnbusy) {
        pollMs = faults_.busyPollMs;
    }
    data[0] = static_cast<uint8_t>(status_);
    data[1] = static_cast<uint8_t>(pollMs);
    data[2] = static_cast<uint8_t>(pollMs >> 8);
    data[3] = static_cast<uint8_t>(pollMs >> 16);
    data[4] = static_cast<uint8_t>(reported);
    data[5] = 0;
    return 6;
}

SimulatedBootloader::Outcome SimulatedBootloader::execute() {
    // Under read protection only get commands, set address pointer and read unprotect run
    // (AN2662 4.5.2 to 4.5.4): erasing and writing end in errVENDOR.
    const bool allowed =
        pendingBlock_ == 0 && (pending_[0] == kCmdReadUnprotect || pending_[0] == kCmdGetCommands ||
                               pending_[0] == kCmdSetAddress);
    if (faults_.readProtected && !allowed) {
        return Outcome{DfuStatus::errVendor, 0};
    }
    if (pendingBlock_ == 0) {
        return command();
    }
    return program(blockAddress(pendingBlock_, pending_.size()));
}

uint64_t SimulatedBootloader::blockAddress(uint16_t blockNumber, size_t length) const {
    const uint64_t size = timing_.blockAddressFromLength ? length : kTransferSize;
    return uint64_t{blockNumber - 2u} * size + pointer_;
}

SimulatedBootloader::Outcome SimulatedBootloader::command() {
    const uint8_t cmd = pending_[0];
    uint32_t address = 0;
    if (pending_.size() == 5) {
        for (int i = 0; i < 4; ++i) {
            address |= uint32_t{pending_[1 + i]} << (8 * i);
        }
    }
    switch (cmd) {
        case kCmdSetAddress:
            if (sectorAt(memory(), address) == nullptr) {
                return Outcome{DfuStatus::errTarget, 0};
            }
            pointer_ = address;
            return Outcome{DfuStatus::ok, uint64_t{timing_.setAddressPollMs} * 1000,
                           timing_.setAddressPollMs};
        case kCmdErase:
            return pending_.size() == 5 ? erase(address) : massErase();
        case kCmdReadUnprotect: {
            // Removing the protection mass-erases the flash and restarts the chip, which then
            // comes back as its boot loader (the flash holds nothing to start).
            const uint64_t busyUs = massEraseUs(timing_.worstCase);
            const Outcome outcome{DfuStatus::ok, busyUs};
            std::weak_ptr<SimulatedBootloader> weak = weak_from_this();
            VirtualClock::schedule(busyUs, [weak] {
                if (auto self = weak.lock()) {
                    std::fill(self->hardware_->flash.begin(), self->hardware_->flash.end(), 0xFF);
                    self->optionBytes_[1] = 0xAA;
                    self->faults_.readProtected = false;
                    self->leaveTo(false, 0);
                }
            });
            return outcome;
        }
        default:  // get commands: nothing to do
            return Outcome{};
    }
}

SimulatedBootloader::Outcome SimulatedBootloader::erase(uint32_t address) {
    const Sector* sector = sectorAt(memory(), address);
    if (sector == nullptr || !sector->erasable) {
        return Outcome{DfuStatus::errTarget, 0};
    }
    const uint64_t busyUs = sectorEraseUs(sector->size, timing_.worstCase);
    recordBusy(busyUs, 0);
    if (faults_.eraseError) {
        return Outcome{DfuStatus::errErase, busyUs, timing_.erasePollMs};
    }
    const Memory& mem = memory();
    auto first = mem.bytes->begin() + (sector->address - mem.base);
    std::fill(first, first + sector->size, 0xFF);
    return Outcome{DfuStatus::ok, busyUs, timing_.erasePollMs};
}

SimulatedBootloader::Outcome SimulatedBootloader::massErase() {
    const uint64_t busyUs = massEraseUs(timing_.worstCase);
    recordBusy(busyUs, 0);
    if (faults_.eraseError) {
        return Outcome{DfuStatus::errErase, busyUs, timing_.erasePollMs};
    }
    std::fill(hardware_->flash.begin(), hardware_->flash.end(), 0xFF);
    return Outcome{DfuStatus::ok, busyUs, timing_.erasePollMs};
}

SimulatedBootloader::Outcome SimulatedBootloader::program(uint64_t address) {
    Memory& mem = memory();
    if (!covers(mem, address, pending_.size())) {
        return Outcome{DfuStatus::errAddress, 0};
    }
    const size_t size = faults_.writeError ? pending_.size() / 2 : pending_.size();
    const uint64_t busyUs = (pending_.size() + 3) / 4 * wordProgramUs(timing_.worstCase);
    if (alternate_ == 0)
        recordProgram(address, pending_.size(), busyUs);
    else
        recordBusy(0, busyUs);
    uint8_t* target = mem.bytes->data() + (address - mem.base);
    bool asSent = true;
    for (size_t i = 0; i < size; ++i) {
        // Flash cells can only go from 1 to 0; programming over old content gives the AND.
        target[i] = mem.programClearsBits ? target[i] & pending_[i] : pending_[i];
        asSent = asSent && target[i] == pending_[i];
    }
    if (faults_.writeError) {
        return Outcome{DfuStatus::errProg, busyUs / 2};
    }
    if (faults_.verifyWrites && !asSent) {
        return Outcome{DfuStatus::errVerify, busyUs};
    }
    // Writing the option bytes reloads them, which resets the chip.
    return Outcome{DfuStatus::ok, busyUs, std::nullopt, alternate_ == 1};
}

void SimulatedBootloader::leaveTo(bool startFirmware, uint32_t delayMs) {
    std::weak_ptr<SimulatedBootloader> weak = weak_from_this();
    const uint32_t entry = pointer_;
    VirtualClock::schedule(uint64_t{delayMs} * 1000, [weak, startFirmware, entry] {
        std::shared_ptr<SimulatedBootloader> self = weak.lock();
        if (!self || self->gone_ || self->bus() == nullptr) {
            return;
        }
        const std::shared_ptr<UnitHardware>& hw = self->hardware_;
        std::shared_ptr<VirtualDevice> next;
        // The chip jumps to the address pointer (the last one set or written to); without code
        // there it resets, and the boot pins start the main flash (AN2662 4.5.5). Only an
        // intact image runs; with none, the chip comes back as its boot loader.
        const bool runs = !hw->firmwareVersion(entry).empty() || !hw->firmwareVersion().empty();
        if (startFirmware && hw->makeUnit && runs) {
            next = hw->makeUnit(hw);
        } else if (hw->makeBootloader) {
            next = hw->makeBootloader(hw);
        } else {
            next = std::make_shared<SimulatedBootloader>(hw);
        }
        // Read protection is chip state: it survives a restart and ends with read unprotect.
        if (auto again = std::dynamic_pointer_cast<SimulatedBootloader>(next)) {
            again->faults_.readProtected = self->faults_.readProtected;
            again->optionBytes_ = self->optionBytes_;
            again->timing_ = self->timing_;
        }
        self->bus()->reenumerate(*self, next, self->timing_.restartMs);
    });
}

const SimulatedBootloader::Sector* SimulatedBootloader::sectorAt(const Memory& memory,
                                                                 uint64_t address) const {
    for (const Sector& sector : memory.sectors) {
        if (address >= sector.address && address - sector.address < sector.size) {
            return &sector;
        }
    }
    return nullptr;
}

bool SimulatedBootloader::covers(const Memory& memory, uint64_t address, uint64_t size) const {
    return address >= memory.base && address - memory.base <= memory.bytes->size() &&
           size <= memory.bytes->size() - (address - memory.base);
}

uint64_t flashEraseFloorUs(uint64_t address, uint64_t bytes) {
    uint64_t us = 0;
    uint64_t sector = UnitHardware::kFlashBase;
    for (uint32_t kib : kFlashSectorsKiB) {
        const uint64_t end = sector + kib * 1024;
        if (bytes > 0 && sector < address + bytes && address < end)
            us += sectorEraseUs(kib * 1024);
        sector = end;
    }
    return us;
}

uint64_t protocolFloorUs(uint64_t address, uint64_t bytes, bool readBack) {
    const auto transfer = [](uint64_t n) { return Bus::transferEndUs(0, n, true); };
    const uint64_t status = transfer(6);
    const uint64_t command = transfer(5) + 2 * status;
    const uint64_t setAddress = command + uint64_t{BootloaderTiming{}.setAddressPollMs} * 1000;
    uint64_t us = flashEraseFloorUs(address, bytes) + flashProgramFloorUs(bytes) + setAddress;
    uint64_t sector = UnitHardware::kFlashBase;
    for (uint32_t kib : kFlashSectorsKiB) {
        const uint64_t end = sector + kib * 1024;
        if (bytes > 0 && sector < address + bytes && address < end)
            us += command;
        sector = end;
    }
    for (uint64_t offset = 0; offset < bytes; offset += SimulatedBootloader::kTransferSize) {
        const uint64_t n = std::min<uint64_t>(SimulatedBootloader::kTransferSize, bytes - offset);
        us += transfer(n) + 2 * status + (readBack ? transfer(n) : 0);
    }
    if (readBack)
        us += setAddress + transfer(0);
    return us + setAddress + transfer(0);
}

uint64_t flashProgramFloorUs(uint64_t bytes) {
    return (bytes + 3) / 4 * wordProgramUs(false);
}

uint64_t controlDataUs(uint64_t bytes) {
    return bytes * 1000000 / (Bus::kPacketBytes * 13 * 1000);
}

}  // namespace sim
