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
    ASSERT_TRUE(model.loadCatalogue(catalogue({
        {"int", {type(6), offset(0)}},
        {"ro floats", {type(0x80 | 30), count(2), offset(4)}},
        {"bits", {type(7), offset(12)}},
        {"text", {type(12), count(5), offset(20)}},
        {"bool", {type(28), offset(25)}},
        {"eight", {type(8), offset(26)}},
        {"no type", {offset(34)}},
        {"wide", {type(0x106), offset(42)}},
        {"thirty-one", {type(31), offset(42)}},
    })));
    struct Want {
        uint32_t type;
        bool readonly;
        int32_t count;
        size_t size;
    };
    // Unknown codes become 255 with 8 bytes an element; the 0x80 bit (and no type) is read-only.
    const Want want[] = {{6, false, 1, 4},  {30, true, 2, 8},   {7, false, 1, 8},
                         {12, false, 5, 5}, {28, false, 1, 1},  {255, false, 1, 8},
                         {255, true, 1, 8}, {255, false, 1, 8}, {255, false, 1, 8}};
    ASSERT_EQ(model.settings().size(), 9u);
    for (size_t i = 0; i < 9; ++i) {
        SCOPED_TRACE(at(i).name());
        EXPECT_EQ(at(i).type(), want[i].type);
        EXPECT_EQ(at(i).readonly(), want[i].readonly);
        EXPECT_EQ(at(i).count(), want[i].count);
        EXPECT_EQ(at(i).data(), Bytes(want[i].size, 0));
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
    const Prop isConst{"const", 1, true};
    const std::vector<Case> cases = {
        {{{"a", {type(6), offset(0)}}, {"b", {type(30), count(2), offset(4)}}}, 12, 0},
        // Constant settings do not count for the lowest offset; only the value true is constant.
        {{{"c", {type(6), offset(0), isConst}},
          {"n", {type(6), offset(10)}},
          {"one", {type(6), offset(20), {"const", 1}}},
          {"f", {type(6), offset(30), {"const", 0, true}}}},
         34,
         10},
        {{}, 0, 0xFFFF},
        // A missing offset is the top of the image: 65535 + 4 taken modulo 65536.
        {{{"x", {type(6)}}}, 3, 0xFFFF},
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
    Bytes in{0xA1};
    text(in, std::string("ab\0cd", 5));
    in.push_back(0xA4);
    text(in, std::string("count\0", 6));
    head(in, 0, 3);
    text(in, std::string("type\0", 5));
    head(in, 0, 12);
    text(in, "offset");
    head(in, 0, 2);
    text(in, std::string("const\0", 6));
    in.push_back(0xF5);
    ASSERT_TRUE(model.loadCatalogue(in));
    EXPECT_EQ(at(0).name(), "ab");
    EXPECT_EQ(at(0).count(), 3);
    EXPECT_EQ(at(0).type(), 12u);
    EXPECT_EQ(at(0).offset(), 2);
    EXPECT_FALSE(at(0).isConst());
}

TEST_F(Catalogue, RefusedCataloguesKeepTheModel) {
    ASSERT_TRUE(model.loadCatalogue(catalogue({{"keep", {type(6), offset(0)}}})));
    const auto kept = model.settings();
    Bytes truncated = catalogue({{"x", {type(6)}}});
    truncated.pop_back();
    for (const Bytes& bad : {Bytes{}, Bytes{0x01}, Bytes{0x82, 0x01, 0x02}, truncated,
                             catalogue({{"ok", {type(6)}}, {"neg", {type(6), count(-1)}}}),
                             catalogue({{"big", {type(6), count(0x20000000)}}}),
                             catalogue({{"big", {type(7), count(0x10000000)}}}),
                             catalogue({{"big", {count(0x80000000)}}})}) {
        EXPECT_FALSE(model.loadCatalogue(bad));
    }
    EXPECT_EQ(model.settings(), kept);
    EXPECT_EQ(model.imageSize(), 4);
}

TEST_F(Catalogue, FindExactOrTheOnlyPartialMatch) {
    for (bool exactFirst : {true, false}) {
        std::vector<Entry> entries = {{"gain", {type(6), offset(0)}},
                                      {"Version: Firmware", {type(6), offset(4)}},
                                      {"dup", {type(6), offset(8)}},
                                      {"dup", {type(6), offset(12)}},
                                      {"gain limit", {type(6), offset(16)}}};
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
    ASSERT_TRUE(model.loadCatalogue(catalogue({{"alpha", {type(6)}}, {"beta", {type(6)}}})));
    EXPECT_EQ(model.find("beta").lock(), model.settings()[1]);
    EXPECT_FALSE(model.loadCatalogue({0xFF}));
    EXPECT_EQ(model.find("beta").lock(), model.settings()[1]);
}

}  // namespace
