// The settings model: its catalogue, the values of its settings and the records it writes.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

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

// Unknown type codes become 255 with 8 bytes an element; the 0x80 bit (and no type) is
// read-only; a key ends at its first NUL. The values fill an image up to the furthest setting.
TEST_F(Catalogue, EntriesAndTheImageTheyFill) {
    struct Case {
        Entry entry;
        const char* name;
        uint32_t type;
        bool readonly;
        size_t size;
    };
    const Case cases[] = {{{"int", 6, 0}, "int", 6, false, 4},
                          {{"ro floats", 0x80 | 30, 4, 2}, "ro floats", 30, true, 8},
                          {{"bits", 7, 12}, "bits", 7, false, 8},
                          {{"text", 12, 20, 5}, "text", 12, false, 5},
                          {{"bool", 28, 25}, "bool", 28, false, 1},
                          {{"eight", 8, 26}, "eight", 255, false, 8},
                          {{"no type", kAbsent, 34}, "no type", 255, true, 8},
                          {{std::string("ab\0cd", 5), 0x106, 42}, "ab", 255, false, 8}};
    std::vector<Entry> entries;
    for (const Case& c : cases) {
        entries.push_back(c.entry);
    }
    ASSERT_TRUE(model.loadCatalogue(catalogue(entries)));
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(at(i).name(), cases[i].name);
        EXPECT_EQ(at(i).type(), cases[i].type);
        EXPECT_EQ(at(i).readonly(), cases[i].readonly);
        EXPECT_EQ(at(i).data(), Bytes(cases[i].size, 0));
        EXPECT_FALSE(at(i).valid());
    }
    EXPECT_EQ(model.imageSize(), 50);
}

// What is refused: no CBOR map, and settings outside the 16-bit value image (which also bounds
// what a catalogue makes the host allocate).
TEST_F(Catalogue, RefusedCataloguesKeepTheModel) {
    ASSERT_TRUE(model.loadCatalogue(catalogue({{"keep", 6, 0}, {"last byte", 28, 0xFFFE}})));
    const auto kept = model.settings();
    Bytes truncated = catalogue({{"x", 6, 0}});
    truncated.pop_back();
    for (const Bytes& bad :
         {Bytes{}, Bytes{0x01}, Bytes{0x82, 0x01, 0x02}, truncated,
          catalogue({{"ok", 6, 0}, {"neg", 6, 0, -1}}),
          catalogue({{"big", 6, kAbsent, 0x20000000}}),
          catalogue({{"big", 7, kAbsent, 0x10000000}}),
          catalogue({{"big", kAbsent, kAbsent, 0x80000000}}),
          catalogue({{"2 GB", 12, 0, 0x7FFFFFFF}}), catalogue({{"past the end", 6, 0xFFFC}}),
          catalogue({{"no offset", 28}}), catalogue({{"negative offset", 28, -1}}),
          catalogue(std::vector<Entry>(257, {"64 KiB view", 12, 0, 0xFFFF}))}) {
        EXPECT_FALSE(model.loadCatalogue(bad));
    }
    EXPECT_EQ(model.settings(), kept);
    EXPECT_EQ(model.imageSize(), 0xFFFF);
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
    ASSERT_TRUE(model.loadCatalogue(catalogue({{"alpha", 6, 0}, {"beta", 6, 4}})));
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
    // through 16 bits and keeps the low byte, Float32 rounds to single precision; and whether the
    // value held counts as the one given.
    using Stored = std::tuple<double, double, bool>;
    const std::vector<std::pair<uint32_t, std::vector<Stored>>> cases = {
        {6, {{-1, -1, true}, {3.99, 3, false}, {3e9, kMin, false}, {NAN, kMin, false}}},
        {28, {{2, 2, true}, {256, 0, false}, {-1, 255, false}}},
        {30, {{0.1, 0.10000000149011612, true}, {1e300, INFINITY, false}, {1e-50, 0, false}}}};
    for (const auto& type : cases) {
        for (const auto& [given, held, same] : type.second) {
            SCOPED_TRACE(std::to_string(type.first) + " " + std::to_string(given));
            Setting s = make(type.first);
            EXPECT_TRUE(s.setValue(given, 0));
            EXPECT_EQ(s.value(0), held);
            EXPECT_EQ(s.holdsAsGiven(given, 0), same);
        }
    }
    Setting i = make(6);
    i.setValue(0x01020304, 0);
    EXPECT_EQ(i.data(), (Bytes{4, 3, 2, 1}));  // little-endian
}

// Types without a number or text, and elements out of range, hold nothing.
TEST(SettingValues, UninterpretedAndOutOfRangeAreRefused) {
    Setting bits = make(7);
    EXPECT_TRUE(std::isnan(bits.value(0)));
    EXPECT_FALSE(bits.setValue(1, 0));
    EXPECT_FALSE(bits.setText("x"));
    Setting s = make(6, 2);
    EXPECT_TRUE(std::isnan(s.value(2)));
    EXPECT_FALSE(s.setValue(1, 2));
    EXPECT_FALSE(s.setValue(1, -1));
    EXPECT_FALSE(s.changed());
}

// A text ends with a NUL where it fits, and is cut to its buffer.
TEST(SettingValues, Text) {
    Setting t = make(12, 8);
    t.setText("HELLO");
    t.setText("HI");
    EXPECT_EQ(t.text(), "HI");
    t.setChanged(false);
    t.setText("HI");
    EXPECT_FALSE(t.changed());
    t.setText("0123456789");
    EXPECT_EQ(t.text(), "01234567");
    t.setText("abcdefg\xC3\xBC");  // cut, valid UTF-8 keeps whole characters
    EXPECT_EQ(t.data(), (Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 0}));
    // Bytes kept of a text cut to a room: overlong forms, surrogates, code points beyond
    // U+10FFFF and sequences cut short are no UTF-8 and are cut byte-wise.
    for (const auto& [text, room, kept] :
         std::vector<std::tuple<std::string, size_t, size_t>>{{"a\xC3\xBC", 2, 1},
                                                              {"\xE2\x82\xAC", 2, 0},
                                                              {"\xF0\x9F\x98\x80", 3, 0},
                                                              {"\xED\x9F\xBF", 2, 0},
                                                              {"\xF4\x8F\xBF\xBF", 3, 0},
                                                              {"\xC0\x80", 1, 1},
                                                              {"\xC1\xBF", 1, 1},
                                                              {"\xE0\x9F\xBF", 2, 2},
                                                              {"\xED\xA0\x80", 2, 2},
                                                              {"\xF0\x8F\xBF\xBF", 3, 3},
                                                              {"\xF4\x90\x80\x80", 3, 3},
                                                              {"\xF5\x80\x80", 2, 2},
                                                              {"a\xC3\xBC\xC3", 2, 2},
                                                              {"a\xBC\xBC", 2, 2}}) {
        EXPECT_EQ(Setting::textBytesKept(text, room), kept) << text;
    }
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
