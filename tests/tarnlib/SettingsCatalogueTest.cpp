#include <gtest/gtest.h>

#include "ModelTestSupport.h"
#include "SettingsModel.h"

using namespace modeltest;

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

}  // namespace
