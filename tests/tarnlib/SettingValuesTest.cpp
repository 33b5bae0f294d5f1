#include <gtest/gtest.h>

#include <cmath>

#include "ModelTestSupport.h"
#include "SettingsModel.h"

using namespace modeltest;
using trn::Setting;

namespace {

Setting make(uint32_t type, int32_t count = 1) {
    return Setting("s", type, count, 0, false, false);
}

TEST(SettingValues, NumbersAreStoredAsTheTypeHoldsThem) {
    const double kMin = -2147483648.0;
    // Per type, values set and read back: Int32 truncates and saturates to its minimum, Bool goes
    // through 16 bits and keeps the low byte, Float32 rounds to single precision.
    const std::vector<std::pair<uint32_t, std::vector<std::pair<double, double>>>> cases = {
        {6, {{-1, -1}, {3.99, 3}, {-3.99, -3}, {3e9, kMin}, {2147483647.9, 2147483647}}},
        {6, {{NAN, kMin}, {-INFINITY, kMin}}},
        {28, {{2, 2}, {256, 0}, {1.9, 1}, {-1, 255}, {1e9, 0}}},
        {12, {{'A', 'A'}}},
        {30, {{0.1, 0.10000000149011612}, {1e300, INFINITY}}},
        {30, {{-3.4028235e38, -3.4028234663852886e38}}}};
    for (const auto& type : cases) {
        for (const auto& c : type.second) {
            SCOPED_TRACE(std::to_string(type.first) + " " + std::to_string(c.first));
            Setting s = make(type.first);
            EXPECT_TRUE(s.setValue(c.first, 0));
            EXPECT_EQ(s.value(0), c.second);
        }
    }
    Setting i = make(6);
    i.setValue(0x01020304, 0);
    EXPECT_EQ(i.data(), (Bytes{4, 3, 2, 1}));  // little-endian
    Setting f = make(30);
    f.setValue(NAN, 0);
    EXPECT_TRUE(std::isnan(f.value(0)));
}

TEST(SettingValues, UninterpretedAndOutOfRangeAreRefused) {
    for (uint32_t type : {7u, 255u}) {
        Setting s = make(type);
        EXPECT_TRUE(std::isnan(s.value(0)));
        EXPECT_FALSE(s.setValue(1, 0));
        EXPECT_FALSE(s.setText("x"));
        EXPECT_EQ(s.text(), "");
        EXPECT_EQ(s.data(), Bytes(8, 0));
    }
    Setting s = make(6, 2);
    EXPECT_TRUE(std::isnan(s.value(2)));
    EXPECT_TRUE(std::isnan(s.value(-1)));
    EXPECT_FALSE(s.setValue(1, 2));
    EXPECT_FALSE(s.setValue(1, -1));
    EXPECT_FALSE(s.changed());
    EXPECT_FALSE(make(6, 0).setValue(1, 0));
    EXPECT_EQ(make(6).text(), "");
}

TEST(SettingValues, Text) {
    Setting t = make(12, 8);
    t.setText("HELLO");
    t.setText("HI");  // ends with a NUL, keeps what follows
    EXPECT_EQ(t.data(), (Bytes{'H', 'I', 0, 'L', 'O', 0, 0, 0}));
    EXPECT_EQ(t.text(), "HI");
    t.setChanged(false);
    t.setText("HI");
    EXPECT_FALSE(t.changed());
    t.setText("ABCDEFGH");
    EXPECT_EQ(t.text(), "ABCDEFGH");
    t.setText("0123456789");
    EXPECT_EQ(t.text(), "01234567");
    EXPECT_TRUE(make(12, 0).setText("x"));  // nothing to store, no fault
}

TEST(SettingValues, WriteRecordsOfChangedSettingsInCatalogueOrder) {
    FakeTransport unit;
    trn::SettingsModel model(unit);
    ASSERT_TRUE(model.loadCatalogue(catalogue(
        {{"int", 6, 4}, {"flag", 28, 0x0102}, {"Version: Firmware", 12, 8, 8}, {"bits", 7, 16}})));
    model.writeChanged();
    EXPECT_TRUE(unit.writes.empty());

    EXPECT_TRUE(model.setValue("flag", 1, 0));
    EXPECT_TRUE(model.setValue("int", 5, 0));
    EXPECT_TRUE(model.setValue("bits", 5, 0));  // found, but nothing stored
    EXPECT_FALSE(model.setValue("missing", 5, 0));
    model.writeChanged();
    ASSERT_EQ(unit.writes.size(), 1u);
    EXPECT_EQ(unit.writes[0], (Bytes{0x04, 0x00, 0x04, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0x01,
                                     0x01, 0x00, 0x01}));
    model.writeChanged();
    EXPECT_EQ(unit.writes.size(), 1u);

    EXPECT_TRUE(model.setText("Firmware", "3.0"));
    EXPECT_FALSE(model.setText("nothing", "x"));
    EXPECT_EQ(model.valueText("Firmware", "none"), "3.0");
    EXPECT_EQ(model.valueText("missing", "none"), "none");
    EXPECT_EQ(model.value("missing", 0, -7), -7);
    model.writeChanged();
    ASSERT_EQ(unit.writes.size(), 2u);
    EXPECT_EQ(unit.writes[1], (Bytes{8, 0, 8, 0, '3', '.', '0', 0, 0, 0, 0, 0}));
}

}  // namespace
