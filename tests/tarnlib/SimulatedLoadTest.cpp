// The settings model against the simulated unit, through the real USB transport.
#include <gtest/gtest.h>

#include <tuple>

#include "sim/Bus.h"
#include "sim/SimulatedUnit.h"
#include "tarnlib/SettingsModel.h"
#include "tarnlib/UsbTransportV2.h"

namespace {

// A unit whose firmware answers every image request with one byte less than asked.
class ShortImageUnit : public sim::SimulatedUnit {
  public:
    using SimulatedUnit::SimulatedUnit;
    int control(const sim::ControlSetup& setup, uint8_t* data, unsigned timeoutMs) override {
        sim::ControlSetup cut = setup;
        if (setup.bRequest == kReadData && cut.wValue > 0) {
            --cut.wValue;
        }
        return SimulatedUnit::control(cut, data, timeoutMs);
    }
};

class SimulatedLoad : public ::testing::Test {
  protected:
    void SetUp() override { sim::Bus::instance().reset(); }
    void TearDown() override { sim::Bus::instance().reset(); }

    template <typename Unit = sim::SimulatedUnit>
    std::shared_ptr<Unit> plug(uint16_t bcdDevice) {
        sim::Bus::instance().reset();
        sim::UnitOptions options;
        options.bcdDevice = bcdDevice;
        auto unit = std::make_shared<Unit>(std::make_shared<sim::UnitHardware>(), options);
        sim::Bus::instance().attach(1, {2}, unit);
        return unit;
    }

    trn::UsbTransportV2 transport;
    trn::SettingsModel model{transport};
};

// Releases below 0x0300 send the catalogue plain, later ones compressed.
TEST_F(SimulatedLoad, PlainAndCompressedCataloguesWithTheirValues) {
    for (uint16_t release : {0x0210, 0x02FF, 0x0300, 0x03FF}) {
        SCOPED_TRACE(release);
        auto unit = plug(release);
        ASSERT_TRUE(unit->setNumber("Calibration table", 0.25, 3));
        ASSERT_TRUE(unit->setText("Device name", "bench \"A\""));
        ASSERT_TRUE(model.load());

        const auto& expected = unit->catalogue().settings();
        ASSERT_EQ(model.settings().size(), expected.size());
        EXPECT_EQ(model.imageSize(), unit->catalogue().imageSize());
        for (size_t i = 0; i < expected.size(); ++i) {
            const auto& want = expected[i];
            const trn::Setting& got = *model.settings()[i];
            SCOPED_TRACE(want.name);
            EXPECT_EQ(
                std::make_tuple(got.name(), got.type(), got.count(), got.offset(), got.readonly(),
                                got.isConst(), got.valid(), got.changed()),
                std::make_tuple(want.name, trn::normalizeSettingType(want.type),
                                static_cast<int32_t>(want.count), static_cast<int32_t>(want.offset),
                                want.readOnly, want.isConst, true, false));
        }
        EXPECT_EQ(model.value("Calibration table", 3, 0), 0.25);
        EXPECT_EQ(model.valueText("Device name", ""), "bench \"A\"");
        EXPECT_EQ(model.valueText("Version: VIO", ""), "VIO 2.1");
    }
}

TEST_F(SimulatedLoad, FaultsFailTheLoad) {
    EXPECT_FALSE(model.load());  // nothing on the bus: the lookup failure becomes false

    auto unit = plug(0x0300);
    unit->faults().corruptChecksums = 1;  // the catalogue frame is refused
    EXPECT_FALSE(model.load());
    EXPECT_TRUE(model.settings().empty());
    EXPECT_TRUE(model.load());
    unit->faults().badCatalogues = 1;  // its compressed stream does not inflate
    EXPECT_FALSE(model.load());
    EXPECT_EQ(model.lastLoadFailure(),
              "the unit's settings catalogue cannot be decoded: Data error");

    plug<ShortImageUnit>(0x0300);
    EXPECT_FALSE(model.load());
    EXPECT_EQ(model.lastLoadFailure().find("the unit's setting values cannot be decoded"), 0u);
    EXPECT_FALSE(model.settings().empty());  // the catalogue stays, without values
    EXPECT_FALSE(model.settings().front()->valid());
}

}  // namespace
