#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FrameCrc.h"
#include "sim/Bus.h"
#include "sim/DfuFileWriter.h"
#include "sim/Scenario.h"
#include "sim/SimulatedUnit.h"
#include "sim/UnitCatalogue.h"

namespace {

using sim::SimulatedUnit;
using Bytes = std::vector<uint8_t>;

const std::vector<uint8_t> kPort = {4, 2};

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

class UnitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Bus::instance().reset();
        hardware = std::make_shared<sim::UnitHardware>();
        const Bytes firmware = sim::makeExampleFirmware("2.4.1");
        std::copy(firmware.begin(), firmware.end(), hardware->flash.begin());
        hardware->makeUnit = SimulatedUnit::factory({});
        ASSERT_EQ(libusb_init(&context), LIBUSB_SUCCESS);
    }
    void TearDown() override {
        closeHandle();
        libusb_exit(context);
        sim::Bus::instance().reset();
    }
    void plug(sim::UnitOptions options = {}) {
        unit = std::make_shared<SimulatedUnit>(hardware, options);
        sim::Bus::instance().attach(1, kPort, unit);
        handle = libusb_open_device_with_vid_pid(context, 0x6444, 0x0001);
        ASSERT_NE(handle, nullptr);
    }
    void closeHandle() {
        if (handle) {
            libusb_close(handle);
            handle = nullptr;
        }
    }
    int request(uint8_t request, uint16_t value = 0, uint16_t index = 0) {
        return libusb_control_transfer(handle, 0x23, request, value, index, nullptr, 0, 200);
    }
    // Reads one frame the way a host does: packet by packet; returns the payload.
    Bytes readFrame() {
        uint8_t packet[64];
        int got = 0;
        EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, packet, 64, &got, 200), LIBUSB_SUCCESS);
        if (got < 4) {
            ADD_FAILURE() << "no frame header";
            return {};
        }
        size_t length = packet[0] | packet[1] << 8;
        Bytes frame(packet, packet + got);
        while (frame.size() < length + 8) {
            int want = static_cast<int>(std::min<size_t>(64, length + 8 - frame.size()));
            EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, packet, want, &got, 200), LIBUSB_SUCCESS);
            EXPECT_EQ(got, want);
            if (got <= 0) {
                return {};
            }
            frame.insert(frame.end(), packet, packet + got);
        }
        EXPECT_EQ(frame.size(), length + 8);
        EXPECT_EQ(sim::FrameCrc::compute(frame.data(), length + 4), le32(&frame[length + 4]))
            << "checksum";
        return Bytes(frame.begin() + 4, frame.begin() + 4 + length);
    }
    Bytes frameOf(const Bytes& payload) {
        Bytes frame = {uint8_t(payload.size()), uint8_t(payload.size() >> 8), 0xFF, 0xFF};
        frame.insert(frame.end(), payload.begin(), payload.end());
        uint32_t crc = sim::FrameCrc::compute(frame.data(), frame.size());
        for (int i = 0; i < 4; ++i) {
            frame.push_back(uint8_t(crc >> (8 * i)));
        }
        return frame;
    }
    int writeFrame(Bytes frame, int* sent) {
        EXPECT_EQ(request(SimulatedUnit::kWriteData, uint16_t(frame.size())), 0);
        return libusb_bulk_transfer(handle, 0x02, frame.data(), int(frame.size()), sent, 200);
    }
    // The write record of one setting.
    Bytes record(const std::string& name, const Bytes& value) {
        const auto* s = unit->catalogue().find(name);
        EXPECT_NE(s, nullptr) << name;
        Bytes r = {uint8_t(s->offset), uint8_t(s->offset >> 8), uint8_t(value.size()),
                   uint8_t(value.size() >> 8)};
        r.insert(r.end(), value.begin(), value.end());
        return r;
    }

    std::shared_ptr<sim::UnitHardware> hardware;
    std::shared_ptr<SimulatedUnit> unit;
    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
};

TEST_F(UnitTest, AnswersImageSlicesEndingFullPacketsWithAZeroLengthPacket) {
    plug();
    EXPECT_EQ(unit->text("Version: Firmware"), "2.4.1");
    ASSERT_EQ(request(SimulatedUnit::kReadData, 56, 0), 0);  // 64-byte frame
    uint8_t packet[64];
    int got = -1;
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, packet, 64, &got, 200), LIBUSB_SUCCESS);
    EXPECT_EQ(got, 64);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(packet) + 4), "2.4.1");
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, packet, 64, &got, 1), LIBUSB_SUCCESS);
    EXPECT_EQ(got, 0);
    uint64_t before = sim::Bus::instance().nowUs();
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, packet, 64, &got, 5), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(sim::Bus::instance().nowUs() - before, 5000u);

    // 121 bytes of payload: packets of 64, 64 and 1; a slice past the end is cut there.
    ASSERT_EQ(request(SimulatedUnit::kReadData, 121, 0), 0);
    EXPECT_EQ(readFrame().size(), 121u);
    uint32_t size = unit->catalogue().imageSize();
    ASSERT_EQ(request(SimulatedUnit::kReadData, 100, uint16_t(size - 10)), 0);
    EXPECT_EQ(readFrame(), Bytes(unit->image().end() - 10, unit->image().end()));
}

TEST_F(UnitTest, AppliesWriteRecordsToWritableSettingsAndCommitsThem) {
    plug();
    Bytes payload = record("Operating mode", {7, 0, 0, 0});
    Bytes ignored = record("Version: Firmware", {'9', 0});
    payload.insert(payload.end(), ignored.begin(), ignored.end());
    Bytes beyond = {0xF0, 0xFF, 2, 0, 1, 1};  // outside the image
    payload.insert(payload.end(), beyond.begin(), beyond.end());
    int sent = -1;
    Bytes frame = frameOf(payload);
    ASSERT_EQ(writeFrame(frame, &sent), LIBUSB_SUCCESS);
    EXPECT_EQ(sent, int(frame.size()));
    EXPECT_EQ(unit->number("Operating mode"), 7.0);
    EXPECT_EQ(unit->text("Version: Firmware"), "2.4.1");
    EXPECT_TRUE(hardware->savedSettings("2.4.1").empty());

    // A frame with a wrong checksum is dropped whole.
    frame = frameOf(record("Operating mode", {9, 0, 0, 0}));
    frame.back() ^= 1;
    ASSERT_EQ(writeFrame(frame, &sent), LIBUSB_SUCCESS);
    EXPECT_EQ(unit->number("Operating mode"), 7.0);

    // More than announced: the unit takes the announced bytes and the rest times out.
    frame = frameOf(record("Operating mode", {8, 0, 0, 0}));
    ASSERT_EQ(request(SimulatedUnit::kWriteData, uint16_t(frame.size())), 0);
    frame.resize(frame.size() + 3);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, frame.data(), int(frame.size()), &sent, 50),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(sent, int(frame.size()) - 3);
    EXPECT_EQ(unit->number("Operating mode"), 8.0);

    uint64_t before = sim::Bus::instance().nowUs();
    ASSERT_EQ(request(SimulatedUnit::kCommit), 0);
    EXPECT_EQ(sim::Bus::instance().nowUs() - before,
              SimulatedUnit::kCommitBusyMs * 1000 + sim::Bus::controlCostUs(0));
    EXPECT_EQ(hardware->savedSettings("2.4.1"), unit->image());
    // A restarted unit starts from what it saved.
    EXPECT_EQ(SimulatedUnit(hardware).number("Operating mode"), 8.0);
    // Another firmware version, even one that leaves the settings sector alone, starts from
    // its factory defaults, and reports its version from the flash.
    const Bytes other = sim::makeExampleFirmware("3.0.0", 0x8000);
    std::copy(other.begin(), other.end(), hardware->flash.begin());
    SimulatedUnit updated(hardware);
    EXPECT_EQ(updated.number("Operating mode"), 1.0);
    EXPECT_EQ(updated.text("Version: Firmware"), "3.0.0");
}

TEST_F(UnitTest, InjectedFaults) {
    plug();
    unit->faults().corruptChecksums = 1;
    ASSERT_EQ(request(SimulatedUnit::kReadData, 4, 0), 0);
    uint8_t packet[64];
    int got = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, packet, 64, &got, 200), LIBUSB_SUCCESS);
    ASSERT_EQ(got, 12);
    EXPECT_NE(sim::FrameCrc::compute(packet, 8), le32(packet + 8));

    unit->faults().overlongFrames = 1;
    ASSERT_EQ(request(SimulatedUnit::kReadData, 4, 0), 0);
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, packet, 64, &got, 200), LIBUSB_SUCCESS);
    EXPECT_EQ(got, 16);
    EXPECT_EQ(packet[0], 4);

    unit->faults().shortFrames = 1;
    ASSERT_EQ(request(SimulatedUnit::kReadData, 4, 0), 0);
    ASSERT_EQ(libusb_bulk_transfer(handle, 0x81, packet, 64, &got, 200), LIBUSB_SUCCESS);
    EXPECT_EQ(got, 11);

    unit->faults().silentRequests = 1;
    ASSERT_EQ(request(SimulatedUnit::kCatalogue), 0);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, packet, 64, &got, 200), LIBUSB_ERROR_TIMEOUT);

    unit->faults().stallRequests = 1;
    EXPECT_EQ(request(SimulatedUnit::kCommit), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(request(SimulatedUnit::kCommit), 0);
    EXPECT_EQ(request(42), LIBUSB_ERROR_PIPE);

    unit->faults().unplugAtTransfer = 2;
    EXPECT_EQ(request(SimulatedUnit::kCommit), 0);
    EXPECT_EQ(request(SimulatedUnit::kCommit), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(sim::Bus::instance().deviceAt(1, kPort), nullptr);
    closeHandle();
    ASSERT_TRUE(sim::Bus::instance().replug(1, kPort));
    unit->faults().denyOpen = true;
    EXPECT_EQ(libusb_open_device_with_vid_pid(context, 0x6444, 0x0001), nullptr);
}

// A scenario with a state file: what one process leaves on the unit, the next one finds.
TEST(Scenario, LoadsUnitsAndCarriesTheirStateAcrossProcesses) {
    std::string dir = ::testing::TempDir();
    std::string scenarioPath = dir + "/sim-scenario.json";
    std::string statePath = dir + "/sim-state.json";
    std::remove(statePath.c_str());
    // A relative state file lies beside the scenario file.
    std::ofstream(scenarioPath) << R"({"stateFile": "sim-state.json",
        "devices": [{"kind": "unit", "bus": 2, "port": "4.2", "bcdDevice": "0x0250",
                     "product": "Bench unit", "firmwareVersion": "5.1.0",
                     "settings": {"Location": "Lab 7", "Thresholds": [1, 2, 3]},
                     "faults": {"stallRequests": 1, "afterRestarts": 1}}]})";
    auto& bus = sim::Bus::instance();
    bus.reset();
    bus.loadScenarioFile(scenarioPath);
    auto unit = std::dynamic_pointer_cast<SimulatedUnit>(bus.deviceAt(2, {4, 2}));
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->deviceDescriptor().bcdDevice, 0x0250);
    EXPECT_EQ(unit->stringDescriptor(2), "Bench unit");
    EXPECT_EQ(unit->text("Version: Firmware"), "5.1.0");
    EXPECT_EQ(unit->text("Location"), "Lab 7");
    EXPECT_EQ(unit->number("Thresholds", 2), 3.0);
    EXPECT_EQ(unit->number("Thresholds", 3), 400.0);
    // Faults limited to the life after the next restart.
    EXPECT_EQ(unit->faults().stallRequests, 0u);
    EXPECT_EQ(
        std::dynamic_pointer_cast<SimulatedUnit>(
            unit->hardware()->makeUnit(std::make_shared<sim::UnitHardware>(*unit->hardware())))
            ->faults()
            .stallRequests,
        1u);
    unit->setText("Location", "Saved");
    unit->hardware()->saveSettings(unit->image(), "5.1.0");
    unit->setText("Device name", "Not saved");
    // The state file follows every transfer, not only the end of the process.
    libusb_context* context = nullptr;
    ASSERT_EQ(libusb_init(&context), LIBUSB_SUCCESS);
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, 0x6444, 0x0001);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(
        libusb_control_transfer(handle, 0x23, SimulatedUnit::kCommit + 1, 0, 0, nullptr, 0, 100),
        LIBUSB_ERROR_PIPE);
    ASSERT_TRUE(std::ifstream(statePath).good());

    // The next process finds the unit as it was left: powered, with its unsaved changes.
    libusb_close(handle);
    libusb_exit(context);
    bus.reset();
    bus.loadScenarioFile(scenarioPath);
    unit = std::dynamic_pointer_cast<SimulatedUnit>(bus.deviceAt(2, {4, 2}));
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->text("Location"), "Saved");
    EXPECT_EQ(unit->text("Device name"), "Not saved");
    EXPECT_EQ(SimulatedUnit(unit->hardware()).text("Device name"), "Quorel unit");
    // Gone from the bus (no boot loader to restart into) it stays gone.
    bus.unplug(2, {4, 2});
    sim::Scenario::saveState();
    bus.reset();
    bus.loadScenarioFile(scenarioPath);
    EXPECT_TRUE(bus.empty());
    bus.reset();

    std::ofstream(scenarioPath) << R"({"devices": [{"kind": "toaster", "port": [1]}]})";
    EXPECT_THROW(bus.loadScenarioFile(scenarioPath), std::runtime_error);
    std::ofstream(scenarioPath) << R"({"devices": [{"port": [1], "faults": {"nope": 1}}]})";
    EXPECT_THROW(bus.loadScenarioFile(scenarioPath), std::runtime_error);
    std::ofstream(scenarioPath) << R"({"devices": [)";
    EXPECT_THROW(bus.loadScenarioFile(scenarioPath), std::runtime_error);
    bus.reset();
}

}  // namespace
