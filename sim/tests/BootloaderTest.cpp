#include <gtest/gtest.h>
#include <libusb.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/Bus.h"
#include "sim/DfuFileWriter.h"
#include "sim/SimulatedBootloader.h"
#include "sim/VirtualClock.h"

namespace {

using sim::DfuState;
using sim::DfuStatus;
using sim::SimulatedBootloader;

constexpr uint32_t kFlash = 0x08000000;
// The alternate settings of a real STM32F405/407 system-memory boot loader, from its public
// USB descriptor listings.
const char* const kLayouts[] = {
    "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg",
    "@Option Bytes  /0x1FFFC000/01*016 e",
    "@OTP Memory /0x1FFF7800/01*512 e,01*016 e",
    "@Device Feature/0xFFFF0000/01*004 e",
};
const std::vector<uint8_t> kPort = {2};

// Stands in for the unit in normal operation: tells which firmware it was started with.
class StartedFirmware : public sim::VirtualDevice {
  public:
    explicit StartedFirmware(std::string version) : version_(std::move(version)) {}
    libusb_device_descriptor deviceDescriptor() const override {
        libusb_device_descriptor d{};
        d.bLength = LIBUSB_DT_DEVICE_SIZE;
        d.bDescriptorType = LIBUSB_DT_DEVICE;
        d.idVendor = 0x1234;
        d.idProduct = 0x0001;
        d.iProduct = 1;
        d.bNumConfigurations = 1;
        return d;
    }
    std::vector<uint8_t> configDescriptor() const override {
        return {9, LIBUSB_DT_CONFIG, 9, 0, 0, 1, 0, 0x80, 50};
    }
    std::optional<std::string> stringDescriptor(uint8_t index) const override {
        return index == 1 ? std::optional<std::string>(version_) : std::nullopt;
    }
    int control(const sim::ControlSetup&, uint8_t*, unsigned) override { return LIBUSB_ERROR_PIPE; }

  private:
    std::string version_;
};

struct Status {
    DfuStatus status;
    uint32_t pollMs;
    DfuState state;
};

class Bootloader : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Bus::instance().reset();
        hw_ = std::make_shared<sim::UnitHardware>();
        hw_->makeUnit = [](std::shared_ptr<sim::UnitHardware> hw) {
            return std::make_shared<StartedFirmware>(hw->firmwareVersion());
        };
        hw_->makeBootloader = [](std::shared_ptr<sim::UnitHardware> hw) {
            return std::make_shared<SimulatedBootloader>(hw);
        };
        ASSERT_EQ(libusb_init(&ctx_), LIBUSB_SUCCESS);
    }
    void TearDown() override {
        closeHandle();
        libusb_exit(ctx_);
        sim::Bus::instance().reset();
    }

    void plugIn(sim::BootloaderFaults faults = {}) {
        device_ = std::make_shared<SimulatedBootloader>(hw_, faults);
        sim::Bus::instance().attach(1, kPort, device_);
        reopen();
    }
    // Opens the boot loader on the bus and clears the error it starts in after a reset.
    void reopen() {
        handle_ = libusb_open_device_with_vid_pid(ctx_, 0x0483, 0xDF11);
        ASSERT_NE(handle_, nullptr);
        ASSERT_EQ(libusb_claim_interface(handle_, 0), LIBUSB_SUCCESS);
        const Status first = getStatus();
        EXPECT_EQ(first.state, DfuState::dfuError);
        EXPECT_EQ(first.status, DfuStatus::errFirmware);
        EXPECT_EQ(out(SimulatedBootloader::kClrStatus, 0), 0);
    }
    void closeHandle() {
        if (handle_ != nullptr) {
            libusb_close(handle_);
        }
        handle_ = nullptr;
    }

    int out(uint8_t request, uint16_t value, std::vector<uint8_t> data = {}) {
        return libusb_control_transfer(handle_, 0x21, request, value, 0, data.data(),
                                       static_cast<uint16_t>(data.size()), 5000);
    }
    int in(uint8_t request, uint16_t value, std::vector<uint8_t>& data, unsigned timeout = 5000) {
        return libusb_control_transfer(handle_, 0xA1, request, value, 0, data.data(),
                                       static_cast<uint16_t>(data.size()), timeout);
    }
    Status getStatus() {
        std::vector<uint8_t> s(6);
        EXPECT_EQ(in(SimulatedBootloader::kGetStatus, 0, s), 6);
        return Status{static_cast<DfuStatus>(s[0]), uint32_t{s[1]} | s[2] << 8u | s[3] << 16u,
                      static_cast<DfuState>(s[4])};
    }
    // A DfuSe command or data block taken through DNBUSY; returns the status after it.
    Status run(uint16_t block, const std::vector<uint8_t>& data) {
        EXPECT_EQ(out(SimulatedBootloader::kDnload, block, data), static_cast<int>(data.size()));
        const Status busy = getStatus();
        EXPECT_EQ(busy.state, DfuState::dfuDnbusy);
        sim::VirtualClock::sleepUs(uint64_t{busy.pollMs} * 1000);
        return getStatus();
    }
    static std::vector<uint8_t> command(uint8_t cmd, uint32_t address) {
        return {cmd, uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16),
                uint8_t(address >> 24)};
    }
    Status setAddress(uint32_t a) { return run(0, command(0x21, a)); }
    Status erase(uint32_t a) { return run(0, command(0x41, a)); }
    void expectStalled(int result, DfuStatus status) {
        EXPECT_EQ(result, LIBUSB_ERROR_PIPE);
        const Status s = getStatus();
        EXPECT_EQ(s.state, DfuState::dfuError);
        EXPECT_EQ(s.status, status);
        EXPECT_EQ(out(SimulatedBootloader::kClrStatus, 0), 0);
    }
    std::string productOfOnlyDevice() {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        std::string product;
        if (n == 1) {
            libusb_device_handle* h = nullptr;
            if (libusb_open(list[0], &h) == 0) {
                unsigned char text[64] = {};
                libusb_device_descriptor d;
                libusb_get_device_descriptor(list[0], &d);
                libusb_get_string_descriptor_ascii(h, d.iProduct, text, sizeof text);
                product = reinterpret_cast<char*>(text);
                libusb_close(h);
            }
        }
        libusb_free_device_list(list, 1);
        return n == 1 ? product : "<" + std::to_string(n) + " devices>";
    }

    std::shared_ptr<sim::UnitHardware> hw_;
    std::shared_ptr<SimulatedBootloader> device_;
    libusb_context* ctx_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
};

TEST_F(Bootloader, DescribesTheStm32BootloaderWithFourMemories) {
    plugIn({});
    libusb_device_descriptor d;
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(handle_), &d), 0);
    EXPECT_EQ(d.bcdDevice, 0x2200);
    EXPECT_EQ(d.bcdUSB, 0x0100);
    unsigned char text[80];
    ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, d.iProduct, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "STM32  BOOTLOADER");
    ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, d.iManufacturer, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "STMicroelectronics");
    // Standard GET_STATUS (device: self powered; interface; endpoint 0) and GET_INTERFACE.
    ASSERT_EQ(libusb_set_interface_alt_setting(handle_, 0, 2), 0);
    const struct {
        uint8_t type, request;
        uint16_t length;
        std::vector<uint8_t> answer;
    } standard[] = {
        {0x80, 0, 2, {1, 0}}, {0x81, 0, 2, {0, 0}}, {0x82, 0, 2, {0, 0}}, {0x81, 0x0A, 1, {2}}};
    for (const auto& request : standard) {
        std::vector<uint8_t> answer(request.length);
        EXPECT_EQ(libusb_control_transfer(handle_, request.type, request.request, 0, 0,
                                          answer.data(), request.length, 100),
                  request.length);
        EXPECT_EQ(answer, request.answer);
    }

    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(handle_), &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface& iface = config->interface[0];
    ASSERT_EQ(iface.num_altsetting, 4);
    for (int alt = 0; alt < 4; ++alt) {
        const libusb_interface_descriptor& a = iface.altsetting[alt];
        EXPECT_EQ(a.bInterfaceClass, 0xFE);
        EXPECT_EQ(a.bInterfaceSubClass, 1);
        EXPECT_EQ(a.bInterfaceProtocol, 2);
        ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, a.iInterface, text, sizeof text), 0);
        EXPECT_STREQ(reinterpret_cast<char*>(text), kLayouts[alt]);
        // The functional descriptor comes once, after the last alternate setting.
        ASSERT_EQ(a.extra_length, alt == 3 ? 9 : 0);
    }
    const uint8_t functional[] = {9, 0x21, 0x0B, 255, 0, 0x00, 0x08, 0x1A, 0x01};
    EXPECT_EQ(0, std::memcmp(iface.altsetting[3].extra, functional, 9));
    libusb_free_config_descriptor(config);
}

TEST_F(Bootloader, RefusedRequestsStallIntoDfuErrorUntilClrStatus) {
    plugIn({});
    std::vector<uint8_t> cmds(64);
    ASSERT_EQ(in(SimulatedBootloader::kUpload, 0, cmds), 4);
    EXPECT_EQ(std::vector<uint8_t>(cmds.begin(), cmds.begin() + 4),
              (std::vector<uint8_t>{0x00, 0x21, 0x41, 0x92}));

    EXPECT_EQ(getStatus().state, DfuState::dfuIdle);
    expectStalled(out(SimulatedBootloader::kClrStatus, 0), DfuStatus::errStalledPkt);
    expectStalled(out(SimulatedBootloader::kDnload, 0, {0x55}), DfuStatus::errStalledPkt);
    errno = 0;
    expectStalled(out(SimulatedBootloader::kDetach, 1000), DfuStatus::errStalledPkt);
    EXPECT_EQ(errno, EPIPE) << "libusb leaves the stall's errno, as programs such as lsusb read";

    // Its work done, a block waits in dfuDNLOAD-SYNC for the status request that ends it.
    ASSERT_EQ(out(SimulatedBootloader::kDnload, 0, command(0x21, kFlash)), 5);
    sim::VirtualClock::sleepUs(uint64_t{getStatus().pollMs} * 1000 + 1000);
    expectStalled(out(SimulatedBootloader::kDnload, 2, std::vector<uint8_t>(2048)),
                  DfuStatus::errStalledPkt);
    EXPECT_EQ(setAddress(kFlash).state, DfuState::dfuDnloadIdle);
    std::vector<uint8_t> block(2048);
    expectStalled(in(SimulatedBootloader::kUpload, 2, block), DfuStatus::errStalledPkt);

    // Upload after ABORT reads at the pointer; ABORT from dfuERROR is refused.
    EXPECT_EQ(setAddress(kFlash + 0x4000).state, DfuState::dfuDnloadIdle);
    EXPECT_EQ(out(SimulatedBootloader::kAbort, 0), 0);
    hw_->flash[0x4000 + 2048] = 0x5A;
    EXPECT_EQ(in(SimulatedBootloader::kUpload, 3, block), 2048);
    EXPECT_EQ(block[0], 0x5A);
    EXPECT_EQ(getStatus().state, DfuState::dfuUploadIdle);
    expectStalled(out(SimulatedBootloader::kDnload, 0, command(0x21, kFlash)),
                  DfuStatus::errStalledPkt);
    const Status outside = setAddress(0x07000000);
    EXPECT_EQ(outside.state, DfuState::dfuError);
    EXPECT_EQ(outside.status, DfuStatus::errTarget);
    // Refused in dfuERROR, the request leaves the status of the first fault in place.
    EXPECT_EQ(out(SimulatedBootloader::kAbort, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(getStatus().status, DfuStatus::errTarget);
}

TEST_F(Bootloader, EraseSetsOnesAndProgrammingOnlyClearsBits) {
    plugIn({});
    std::fill(hw_->flash.begin(), hw_->flash.begin() + 0x20000, 0x00);
    EXPECT_EQ(erase(kFlash + 0x4123).status, DfuStatus::ok);  // the second 16K sector
    EXPECT_EQ(hw_->flash[0x3FFF], 0x00);
    EXPECT_EQ(hw_->flash[0x4000], 0xFF);
    EXPECT_EQ(hw_->flash[0x7FFF], 0xFF);
    EXPECT_EQ(hw_->flash[0x8000], 0x00);

    EXPECT_EQ(setAddress(kFlash + 0x4000).status, DfuStatus::ok);
    EXPECT_EQ(run(3, std::vector<uint8_t>(16, 0xF0)).status, DfuStatus::ok);  // at +0x800
    EXPECT_EQ(hw_->flash[0x4800], 0xF0);
    EXPECT_EQ(run(3, std::vector<uint8_t>(16, 0x3C)).status, DfuStatus::ok);
    EXPECT_EQ(hw_->flash[0x4800], 0x30);

    device_->faults().verifyWrites = true;
    const Status verify = run(3, std::vector<uint8_t>(16, 0x0F));
    EXPECT_EQ(verify.state, DfuState::dfuError);
    EXPECT_EQ(verify.status, DfuStatus::errVerify);
    EXPECT_EQ(out(SimulatedBootloader::kClrStatus, 0), 0);

    device_->faults().writeError = true;
    EXPECT_EQ(run(4, std::vector<uint8_t>(16, 0x00)).status, DfuStatus::errProg);
    EXPECT_EQ(out(SimulatedBootloader::kClrStatus, 0), 0);
    device_->faults().eraseError = true;
    EXPECT_EQ(erase(kFlash + 0x4000).status, DfuStatus::errErase);
    EXPECT_EQ(hw_->flash[0x5000], 0x00);
    EXPECT_EQ(out(SimulatedBootloader::kClrStatus, 0), 0);

    // Outside the memory of the alternate setting.
    EXPECT_EQ(erase(0x1FFFC000).status, DfuStatus::errTarget);
    EXPECT_EQ(out(SimulatedBootloader::kClrStatus, 0), 0);
    EXPECT_EQ(setAddress(kFlash + 0x100000 - 1024).status, DfuStatus::ok);
    EXPECT_EQ(run(2, std::vector<uint8_t>(2048, 0)).status, DfuStatus::errAddress);
}

TEST_F(Bootloader, BusyTimeIsReportedAndSpentOnTheVirtualClock) {
    plugIn({});
    ASSERT_EQ(out(SimulatedBootloader::kDnload, 0, command(0x41, kFlash + 0x20000)), 5);
    const Status busy = getStatus();
    EXPECT_EQ(busy.state, DfuState::dfuDnbusy);
    EXPECT_EQ(busy.pollMs, 100u);  // as the chip asks, however long the sector takes

    // The chip holds the next request until the erase is done (1 s for a 128K sector), or
    // the request times out.
    const uint64_t start = sim::VirtualClock::nowUs();
    std::vector<uint8_t> s(6);
    EXPECT_EQ(in(SimulatedBootloader::kGetStatus, 0, s, 100), LIBUSB_ERROR_TIMEOUT);
    const Status done = getStatus();
    EXPECT_EQ(done.state, DfuState::dfuDnloadIdle);
    EXPECT_EQ(done.pollMs, 0u);
    EXPECT_GE(sim::VirtualClock::nowUs() - start, 1000000u);
    EXPECT_LE(sim::VirtualClock::nowUs() - start, 1001000u);

    // Poll time asked and time taken: erase, set address, a 2048-byte block (512 words).
    const struct {
        bool worstCase;
        std::vector<uint8_t> command;
        uint16_t block;
        uint32_t pollMs;
        uint64_t takesUs;
    } cases[] = {
        {false, command(0x41, kFlash), 0, 100, 250000},
        {true, command(0x41, kFlash), 0, 100, 500000},
        {false, command(0x21, kFlash), 0, 104, 104000},
        {false, std::vector<uint8_t>(2048, 0), 2, 9, 8192},
        {true, std::vector<uint8_t>(2048, 0), 2, 52, 51200},
    };
    for (const auto& c : cases) {
        device_->timing().worstCase = c.worstCase;
        ASSERT_EQ(out(SimulatedBootloader::kDnload, c.block, c.command), int(c.command.size()));
        const uint64_t begin = sim::VirtualClock::nowUs();
        EXPECT_EQ(getStatus().pollMs, c.pollMs);
        EXPECT_EQ(getStatus().state, DfuState::dfuDnloadIdle);
        EXPECT_EQ(sim::VirtualClock::nowUs() - begin, c.takesUs / 1000 * 1000 + 1000)
            << "the second status is held until done and ends with that frame";
    }
}

TEST_F(Bootloader, LeavingStartsOnlyAnIntactImage) {
    plugIn({});
    const std::vector<uint8_t> image = sim::makeExampleFirmware("2.1.0", 6000);
    auto program = [&](bool cutLastBlock) {
        EXPECT_EQ(erase(kFlash).status, DfuStatus::ok);
        EXPECT_EQ(setAddress(kFlash).status, DfuStatus::ok);
        for (size_t at = 0; at < image.size(); at += 2048) {
            const size_t n = std::min<size_t>(2048, image.size() - at);
            if (cutLastBlock && at + n == image.size()) {
                device_->faults().writeError = true;
            }
            std::vector<uint8_t> block(image.begin() + at, image.begin() + at + n);
            run(static_cast<uint16_t>(2 + at / 2048), block);
        }
    };
    // Leaves from dfuIDLE or dfuDNLOAD-IDLE; returns what comes back on the bus.
    auto leave = [&](std::optional<uint32_t> pointer) {
        if (pointer) {
            EXPECT_EQ(setAddress(*pointer).status, DfuStatus::ok);
        }
        EXPECT_EQ(out(SimulatedBootloader::kDnload, 0, {}), 0);
        EXPECT_EQ(getStatus().state, DfuState::dfuManifest);
        sim::VirtualClock::sleepUs(1000000);
        std::vector<uint8_t> state(1);
        EXPECT_EQ(in(SimulatedBootloader::kGetState, 0, state), LIBUSB_ERROR_NO_DEVICE);
        closeHandle();
        return productOfOnlyDevice();
    };

    // An image cut short by a write fault in its last block does not start.
    program(true);
    EXPECT_EQ(getStatus().status, DfuStatus::errProg);
    EXPECT_EQ(out(SimulatedBootloader::kClrStatus, 0), 0);
    EXPECT_EQ(leave(kFlash), "STM32  BOOTLOADER");

    reopen();
    program(false);
    // No code at the pointer: the chip resets, and the boot pins start the flash.
    EXPECT_EQ(leave(kFlash + 0x4000), "2.1.0");
    // A zero-length download leaves from dfuIDLE too (AN2662, AN3156).
    sim::Bus::instance().attach(1, kPort, hw_->makeBootloader(hw_));
    reopen();
    EXPECT_EQ(getStatus().state, DfuState::dfuIdle);
    EXPECT_EQ(leave(std::nullopt), "2.1.0");
}

TEST_F(Bootloader, ReadProtectionRefusesMemoryAccessUntilUnprotected) {
    std::fill(hw_->flash.begin(), hw_->flash.begin() + 16, 0x00);
    sim::BootloaderFaults faults;
    faults.readProtected = true;
    plugIn(faults);
    // AN2662: set address pointer runs under read protection; erase and write do not.
    EXPECT_EQ(setAddress(kFlash).status, DfuStatus::ok);
    EXPECT_EQ(erase(kFlash).status, DfuStatus::errVendor);
    EXPECT_EQ(out(SimulatedBootloader::kClrStatus, 0), 0);
    EXPECT_EQ(run(2, std::vector<uint8_t>(16, 0)).status, DfuStatus::errVendor);
    EXPECT_EQ(out(SimulatedBootloader::kClrStatus, 0), 0);
    EXPECT_EQ(hw_->flash[0], 0x00);
    std::vector<uint8_t> block(2048);
    expectStalled(in(SimulatedBootloader::kUpload, 2, block), DfuStatus::errVendor);

    ASSERT_EQ(out(SimulatedBootloader::kDnload, 0, {0x92}), 1);
    const Status busy = getStatus();
    EXPECT_EQ(busy.pollMs, 8000u);
    // The chip mass-erases, restarts and, with nothing to start, is its boot loader again.
    sim::VirtualClock::sleepUs(busy.pollMs * 1000 + 1000000);
    std::vector<uint8_t> state(1);
    EXPECT_EQ(in(SimulatedBootloader::kGetState, 0, state), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(hw_->flash[0], 0xFF);
    closeHandle();
    reopen();
    EXPECT_EQ(erase(kFlash).status, DfuStatus::ok);
}

TEST_F(Bootloader, InjectedStartupFaults) {
    sim::BootloaderFaults faults;
    faults.unplugAtRequest = 6;
    faults.noUpload = true;
    plugIn(faults);

    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(handle_), &config), 0);
    EXPECT_EQ(config->interface[0].altsetting[3].extra[2], 0x09);  // no upload bit
    libusb_free_config_descriptor(config);
    std::vector<uint8_t> cmds(64);
    expectStalled(in(SimulatedBootloader::kUpload, 0, cmds), DfuStatus::errStalledPkt);

    std::vector<uint8_t> state(1);
    EXPECT_EQ(in(SimulatedBootloader::kGetState, 0, state), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(productOfOnlyDevice(), "<0 devices>");
    ASSERT_TRUE(sim::Bus::instance().replug(1, kPort));
    EXPECT_EQ(productOfOnlyDevice(), "STM32  BOOTLOADER");
}

TEST_F(Bootloader, ScenarioKindTakesFaultsAndSerialAndKeepsItsDfuStateAcrossProcesses) {
    const std::string base =
        ::testing::TempDir() + "bootloader-scenario-" + std::to_string(getpid());
    const std::string path = base + ".json";
    // Windows reuses process numbers soon: what a stopped run left must not be read as state.
    std::remove((base + "-state.json").c_str());
    std::string inJson;  // a Windows temporary directory has backslashes
    for (const char c : base) {
        inJson += c == '\\' || c == '"' ? std::string{'\\', c} : std::string{c};
    }
    std::ofstream(path) << R"({"stateFile": ")" << inJson << R"(-state.json",
        "bus": {"controlPacketsPerFrame": 4},
        "devices": [{"port": "3.1", "kind": "bootloader", "bootloaderSerial": "SIM0001",
                     "bootloaderFaults": {"noUpload": false},
                     "bootloaderTiming": {"worstCase": true, "setAddressPollMs": 7}}]})";
    auto& bus = sim::Bus::instance();
    bus.loadScenarioFile(path);
    handle_ = libusb_open_device_with_vid_pid(ctx_, 0x0483, 0xDF11);
    ASSERT_NE(handle_, nullptr);
    unsigned char text[32] = {};
    libusb_device_descriptor d;
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(handle_), &d), 0);
    ASSERT_GT(libusb_get_string_descriptor_ascii(handle_, d.iSerialNumber, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "SIM0001");
    EXPECT_EQ(getStatus().status, DfuStatus::errFirmware);
    EXPECT_EQ(out(SimulatedBootloader::kClrStatus, 0), 0);
    EXPECT_EQ(setAddress(kFlash + 0x800).state, DfuState::dfuDnloadIdle);
    EXPECT_EQ(out(SimulatedBootloader::kAbort, 0), 0);
    std::vector<uint8_t> block(2048);
    EXPECT_EQ(in(SimulatedBootloader::kUpload, 2, block), 2048);
    closeHandle();

    // A chip that stayed powered is found by the next process in dfuUPLOAD-IDLE, its pointer
    // where it was.
    bus.reset();
    bus.loadScenarioFile(path);
    auto loader = std::dynamic_pointer_cast<SimulatedBootloader>(bus.deviceAt(1, {3, 1}));
    ASSERT_NE(loader, nullptr);
    EXPECT_EQ(loader->state(), DfuState::dfuUploadIdle);
    EXPECT_EQ(loader->addressPointer(), kFlash + 0x800);
    EXPECT_TRUE(loader->timing().worstCase);
    EXPECT_EQ(loader->timing().setAddressPollMs, 7u);
    EXPECT_EQ(sim::Bus::model().controlPacketsPerFrame, 4u);
    bus.reset();
    std::remove((base + "-state.json").c_str());
    std::remove((base + "-state.json-1-3.1.flash").c_str());

    std::ofstream(path) << R"({"devices": [{"port": "3.2", "kind": "bootloader",
        "bootloaderFaults": {"eraseErorr": true}}]})";
    EXPECT_THROW(bus.loadScenarioFile(path), std::runtime_error);
    std::remove(path.c_str());
}

}  // namespace
