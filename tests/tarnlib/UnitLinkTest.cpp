#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <system_error>

#include "UsbTransportV2.h"
#include "sim/Bus.h"
#include "sim/SimulatedUnit.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The transport end to end against the simulated unit: its catalogue, value image, write
// records and commit, and the faults it can show on the wire.
class UnitLink : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Bus::instance().reset();
        hardware = std::make_shared<sim::UnitHardware>();
    }
    void TearDown() override {
        transport.reset();
        sim::Bus::instance().reset();
    }

    void plug(sim::UnitOptions options = {}) {
        unit = std::make_shared<sim::SimulatedUnit>(hardware, options);
        sim::Bus::instance().attach(1, {2, 1}, unit);
        transport = std::make_unique<trn::UsbTransportV2>();
        transport->reconnect();
    }
    sim::UnitOptions withFaults(const sim::UnitFaults& faults) {
        sim::UnitOptions options;
        options.faults = faults;
        return options;
    }

    // "system_error <code>" or the runtime_error text of `operation`.
    template <typename Operation>
    static std::string failure(Operation operation) {
        try {
            operation();
        } catch (const std::system_error& error) {
            return "system_error " + std::to_string(error.code().value());
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "no error";
    }

    // A writable 4-byte setting that is not the boot-loader trigger.
    const sim::UnitSetting& writableInt() const {
        for (const sim::UnitSetting& setting : unit->catalogue().settings()) {
            if (setting.type == sim::kInt32 && !setting.readOnly && !setting.isConst &&
                setting.name != "trigger bootloader") {
                return setting;
            }
        }
        throw std::logic_error("no writable setting");
    }

    std::shared_ptr<sim::UnitHardware> hardware;
    std::shared_ptr<sim::SimulatedUnit> unit;
    std::unique_ptr<trn::UsbTransportV2> transport;
};

TEST_F(UnitLink, CatalogueAndImagePlainAndCompressed) {
    for (uint16_t release : {0x0250, 0x0300}) {
        sim::UnitOptions options;
        options.bcdDevice = release;
        plug(options);
        EXPECT_EQ(transport->readCatalogue(), unit->catalogue().cbor()) << std::hex << release;
        const Bytes& image = unit->image();
        EXPECT_EQ(transport->readData(0, static_cast<uint16_t>(image.size())), image);
        EXPECT_EQ(transport->readData(3, 70), Bytes(image.begin() + 3, image.begin() + 73));
        sim::Bus::instance().reset();
    }
}

TEST_F(UnitLink, WriteRecordsAndCommit) {
    plug();
    const sim::UnitSetting& setting = writableInt();
    const uint16_t offset = static_cast<uint16_t>(setting.offset);
    transport->writeData({static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8), 4, 0,
                          0x78, 0x56, 0x34, 0x12});
    EXPECT_EQ(unit->number(setting.name), 0x12345678);
    EXPECT_TRUE(hardware->savedSettings.empty());
    EXPECT_TRUE(transport->commit());
    EXPECT_EQ(hardware->savedSettings, unit->image());
    EXPECT_EQ(transport->readData(offset, 4), (Bytes{0x78, 0x56, 0x34, 0x12}));
}

TEST_F(UnitLink, WireFaults) {
    sim::UnitFaults faults;
    faults.corruptChecksums = 1;
    plug(withFaults(faults));
    EXPECT_EQ(failure([&] { transport->readData(0, 10); }),
              "USB setting data receive: invalid transfer (CRC error)");
    unit->faults().shortFrames = 1;
    EXPECT_EQ(failure([&] { transport->readData(0, 100); }),
              "USB setting data receive: invalid transfer (unexpected size)");
    unit->faults().overlongFrames = 1;
    EXPECT_EQ(failure([&] { transport->readData(0, 10); }),
              "USB setting data receive: data overrun");
    unit->faults().silentRequests = 1;
    EXPECT_EQ(failure([&] { transport->readData(0, 10); }), "system_error -7");
    unit->faults().stallRequests = 1;
    EXPECT_EQ(failure([&] { transport->commit(); }), "system_error -9");
    // The overrun left bytes in the endpoint; the catalogue read drains them first.
    unit->faults().overlongFrames = 1;
    EXPECT_THROW(transport->readData(0, 10), std::runtime_error);
    EXPECT_EQ(transport->readCatalogue(), unit->catalogue().cbor());
}

TEST_F(UnitLink, UnitGoneOrLocked) {
    sim::UnitFaults faults;
    faults.unplugAtTransfer = 1;
    plug(withFaults(faults));
    EXPECT_EQ(failure([&] { transport->readData(0, 10); }), "system_error -4");
    EXPECT_EQ(failure([&] { transport->reconnect(); }), "Failed to find device");

    sim::Bus::instance().reset();
    faults = {};
    faults.denyOpen = true;
    sim::Bus::instance().attach(1, {3},
                                std::make_shared<sim::SimulatedUnit>(hardware, withFaults(faults)));
    trn::UsbTransportV2 locked;
    EXPECT_EQ(failure([&] { locked.reconnect(); }), "system_error -3");
    EXPECT_THROW(locked.productNameAt({3}), std::system_error);
}

}  // namespace
