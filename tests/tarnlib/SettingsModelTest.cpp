// The settings model: its catalogue, the values of its settings and the records it writes.
#include <gtest/gtest.h>

#include <cmath>

#include "ModelTestSupport.h"
#include "tarnlib/SettingsModel.h"

using namespace modeltest;
using trn::Setting;

namespace {

class Catalogue : public ::testing::Test {
  protected:
    FakeTransport unit;
    trn::SettingsModel model{unit};

    const trn::Setting& at(size_t i) { return *model.settings().at(i); }
};

TEST_F(Catalogue, TypesDefaultsAndReadOnlyBit) {
    struct Case {
        Entry entry;
        uint32_t type;
        bool readonly;
        int32_t count;
        size_t size;
    };
    // Unknown codes become 255 with 8 bytes an element; the 0x80 bit (and no type) is read-only.
    const Case cases[] = {{{"int", 6, 0}, 6, false, 1, 4},
                          {{"ro floats", 0x80 | 30, 4, 2}, 30, true, 2, 8},
                          {{"bits", 7, 12}, 7, false, 1, 8},
                          {{"text", 12, 20, 5}, 12, false, 5, 5},
                          {{"bool", 28, 25}, 28, false, 1, 1},
                          {{"eight", 8, 26}, 255, false, 1, 8},
                          {{"no type", kAbsent, 34}, 255, true, 1, 8},
                          {{"wide", 0x106, 42}, 255, false, 1, 8}};
    std::vector<Entry> entries;
    for (const Case& c : cases) {
        entries.push_back(c.entry);
    }
    ASSERT_TRUE(model.loadCatalogue(catalogue(entries)));
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(at(i).name());
        EXPECT_EQ(at(i).type(), cases[i].type);
        EXPECT_EQ(at(i).readonly(), cases[i].readonly);
        EXPECT_EQ(at(i).count(), cases[i].count);
        EXPECT_EQ(at(i).data(), Bytes(cases[i].size, 0));
        EXPECT_FALSE(at(i).valid());
        EXPECT_FALSE(at(i).changed());
    }
}

TEST_F(Catalogue, LayoutOfTheValueImage) {
    struct Case {
        std::vector<Entry> entries;
        uint16_t imageSize;
        uint16_t minOffset;
    };
    const std::vector<Case> cases = {
        {{{"a", 6, 0}, {"b", 30, 4, 2}}, 12, 0},
        // Constant settings do not count for the lowest offset; only the value true is constant.
        {{{"c", 6, 0, kAbsent, 0xF5},
          {"n", 6, 10},
          {"one", 6, 20, kAbsent, 0x01},
          {"f", 6, 30, kAbsent, 0xF4}},
         34,
         10},
        {{}, 0, 0xFFFF},
        // A missing offset is the top of the image: 65535 + 4 taken modulo 65536.
        {{{"x", 6}}, 3, 0xFFFF},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(model.loadCatalogue(catalogue(cases[i].entries)));
        EXPECT_EQ(model.imageSize(), cases[i].imageSize);
        EXPECT_EQ(model.minOffset(), cases[i].minOffset);
    }
    EXPECT_EQ(at(0).offset(), -1);
}

TEST_F(Catalogue, NulTerminatedKeysAndNames) {
    // {"ab\0cd": {"count\0": 3, "type\0": 12, "offset": 2, "const\0": true}}
    const Bytes in{0xA1, 0x65, 'a',  'b',  0,    'c',  'd', 0xA4, 0x66, 'c',  'o',  'u', 'n',
                   't',  0,    0x03, 0x65, 't',  'y',  'p', 'e',  0,    0x0C, 0x66, 'o', 'f',
                   'f',  's',  'e',  't',  0x02, 0x66, 'c', 'o',  'n',  's',  't',  0,   0xF5};
    ASSERT_TRUE(model.loadCatalogue(in));
    EXPECT_EQ(at(0).name(), "ab");
    EXPECT_EQ(at(0).count(), 3);
    EXPECT_EQ(at(0).type(), 12u);
    EXPECT_EQ(at(0).offset(), 2);
    EXPECT_FALSE(at(0).isConst());
}

TEST_F(Catalogue, RefusedCataloguesKeepTheModel) {
    ASSERT_TRUE(model.loadCatalogue(catalogue({{"keep", 6, 0}})));
    const auto kept = model.settings();
    Bytes truncated = catalogue({{"x", 6}});
    truncated.pop_back();
    for (const Bytes& bad : {Bytes{}, Bytes{0x01}, Bytes{0x82, 0x01, 0x02}, truncated,
                             catalogue({{"ok", 6}, {"neg", 6, kAbsent, -1}}),
                             catalogue({{"big", 6, kAbsent, 0x20000000}}),
                             catalogue({{"big", 7, kAbsent, 0x10000000}}),
                             catalogue({{"big", kAbsent, kAbsent, 0x80000000}})}) {
        EXPECT_FALSE(model.loadCatalogue(bad));
    }
    EXPECT_EQ(model.settings(), kept);
    EXPECT_EQ(model.imageSize(), 4);
}

TEST_F(Catalogue, FindExactOrTheOnlyPartialMatch) {
    for (bool exactFirst : {true, false}) {
        std::vector<Entry> entries = {{"gain", 6, 0},
                                      {"Version: Firmware", 6, 4},
                                      {"dup", 6, 8},
                                      {"dup", 6, 12},
                                      {"gain limit", 6, 16}};
        if (!exactFirst) {
            std::swap(entries[0], entries[4]);
        }
        ASSERT_TRUE(model.loadCatalogue(catalogue(entries)));
        EXPECT_EQ(model.find("gain").lock()->name(), "gain");
        EXPECT_EQ(model.find("Firmware").lock(), model.settings()[1]);
        EXPECT_EQ(model.find("limit").lock()->name(), "gain limit");
        EXPECT_EQ(model.find("dup").lock(), nullptr);
        EXPECT_EQ(model.find("ain").lock(), nullptr);  // part of two names
        EXPECT_EQ(model.find("firmware").lock(), nullptr);
    }
    // The cache of looked-up names lives until the next catalogue, failed loads aside.
    EXPECT_EQ(model.find("beta").lock(), nullptr);
    ASSERT_TRUE(model.loadCatalogue(catalogue({{"alpha", 6}, {"beta", 6}})));
    EXPECT_EQ(model.find("beta").lock(), model.settings()[1]);
    EXPECT_FALSE(model.loadCatalogue({0xFF}));
    EXPECT_EQ(model.find("beta").lock(), model.settings()[1]);
}

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

TEST_F(Catalogue, WriteRecordsOfChangedSettingsInCatalogueOrder) {
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
