// The settings model against the simulated unit, through the real USB transport.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "SettingsModel.h"
#include "UsbTransportV2.h"
#include "sim/Bus.h"
#include "sim/SimulatedUnit.h"

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

class SimulatedLoad : public ::testing::TestWithParam<uint16_t> {
  protected:
    void SetUp() override { sim::Bus::instance().reset(); }
    void TearDown() override { sim::Bus::instance().reset(); }

    template <typename Unit = sim::SimulatedUnit>
    std::shared_ptr<Unit> plug(uint16_t bcdDevice) {
        sim::UnitOptions options;
        options.bcdDevice = bcdDevice;
        auto unit = std::make_shared<Unit>(std::make_shared<sim::UnitHardware>(), options);
        sim::Bus::instance().attach(1, {2}, unit);
        return unit;
    }
};

}  // namespace

TEST_P(SimulatedLoad, LoadGivesTheUnitsCatalogueAndValues) {
    auto unit = plug(GetParam());
    ASSERT_TRUE(unit->setNumber("Operating mode", -7));
    ASSERT_TRUE(unit->setNumber("Calibration table", 0.25, 3));
    ASSERT_TRUE(unit->setText("Device name", "bench \"A\""));
    trn::UsbTransportV2 transport;
    trn::SettingsModel model(transport);
    ASSERT_TRUE(model.load());

    const auto& expected = unit->catalogue().settings();
    ASSERT_EQ(model.settings().size(), expected.size());
    EXPECT_EQ(model.imageSize(), unit->catalogue().imageSize());
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& want = expected[i];
        const trn::Setting& got = *model.settings()[i];
        SCOPED_TRACE(want.name);
        EXPECT_EQ(got.name(), want.name);
        EXPECT_EQ(got.type(), trn::normalizeSettingType(want.type));
        EXPECT_EQ(got.count(), static_cast<int32_t>(want.count));
        EXPECT_EQ(got.offset(), static_cast<int32_t>(want.offset));
        EXPECT_EQ(got.readonly(), want.readOnly);
        EXPECT_EQ(got.isConst(), want.isConst);
        EXPECT_TRUE(got.valid());
        EXPECT_FALSE(got.changed());
        if (want.type == sim::kText) {
            EXPECT_EQ(got.text(), unit->text(want.name).value());
        } else if (want.type != sim::kBits64 && want.type != sim::kUnknown) {
            for (uint32_t e = 0; e < want.count; ++e) {
                EXPECT_EQ(got.value(static_cast<int32_t>(e)), unit->number(want.name, e).value());
            }
        }
    }
    EXPECT_EQ(model.value("Operating mode", 0, 0), -7);
    EXPECT_EQ(model.value("Calibration table", 3, 0), 0.25);
    EXPECT_EQ(model.valueText("Device name", ""), "bench \"A\"");
    EXPECT_EQ(model.valueText("Version: VIO", ""), "VIO 2.1");

    // Export, import and write back: nothing to send; then a real change reaches the unit.
    ASSERT_TRUE(model.importJson(model.exportJson(false)));
    for (const auto& s : model.settings()) {
        EXPECT_FALSE(s->changed()) << s->name();
    }
    ASSERT_TRUE(model.importJson("{\"Watchdog\": 2500, \"Device name\": \"renamed\"}"));
    model.writeChanged();
    EXPECT_EQ(unit->number("Watchdog timeout ms").value(), 2500);
    EXPECT_EQ(unit->text("Device name").value(), "renamed");
}

INSTANTIATE_TEST_SUITE_P(PlainAndCompressed, SimulatedLoad, ::testing::Values(0x0210, 0x0300),
                         [](const auto& info) {
                             return info.param == 0x0210 ? std::string("Plain")
                                                         : std::string("Compressed");
                         });

TEST_F(SimulatedLoad, ImageOneByteShortFailsTheLoad) {
    plug<ShortImageUnit>(0x0300);
    trn::UsbTransportV2 transport;
    trn::SettingsModel model(transport);
    EXPECT_FALSE(model.load());
    EXPECT_FALSE(model.settings().empty());  // the catalogue stays, without values
    EXPECT_FALSE(model.settings().front()->valid());
}

TEST_F(SimulatedLoad, NoUnitOrBrokenFrames) {
    trn::UsbTransportV2 transport;
    trn::SettingsModel model(transport);
    EXPECT_FALSE(model.load());  // nothing on the bus: the lookup failure becomes false

    auto unit = plug(0x0300);
    unit->faults().corruptChecksums = 1;  // the catalogue frame is refused
    EXPECT_FALSE(model.load());
    EXPECT_TRUE(model.settings().empty());
    EXPECT_TRUE(model.load());
}
