#include <gtest/gtest.h>

#include "ModelTestSupport.h"
#include "SettingsModel.h"

using namespace modeltest;
using trn::SettingType;

namespace {

constexpr uint32_t code(SettingType t) {
    return static_cast<uint32_t>(t);
}

class Catalogue : public ::testing::Test {
  protected:
    FakeTransport unit;
    trn::SettingsModel model{unit};

    const trn::Setting& at(size_t i) { return *model.settings().at(i); }
};

}  // namespace

TEST_F(Catalogue, EntriesBecomeSettingsWithLayout) {
    ASSERT_TRUE(model.loadCatalogue(catalogue({
        {"a", {type(6), count(1), offset(0)}},
        {"b", {type(158), count(2), offset(4)}},
    })));
    ASSERT_EQ(model.settings().size(), 2u);
    EXPECT_EQ(at(0).name(), "a");
    EXPECT_EQ(at(0).type(), code(SettingType::Int32));
    EXPECT_FALSE(at(0).readonly());
    EXPECT_EQ(at(0).data().size(), 4u);
    EXPECT_EQ(at(1).type(), code(SettingType::Float32));
    EXPECT_TRUE(at(1).readonly());
    EXPECT_EQ(at(1).count(), 2);
    EXPECT_EQ(at(1).offset(), 4);
    EXPECT_EQ(at(1).data(), std::vector<uint8_t>(8, 0));
    EXPECT_FALSE(at(1).valid());
    EXPECT_FALSE(at(1).changed());
    EXPECT_EQ(model.imageSize(), 12);
    EXPECT_EQ(model.minOffset(), 0);
}

TEST_F(Catalogue, TypeCodesDefaultsAndReplacement) {
    ASSERT_TRUE(model.loadCatalogue(catalogue({
        {"ro int", {type(0x86), offset(0)}},
        {"eight", {type(8), offset(4)}},
        {"no type", {offset(12)}},
        {"bits", {type(7), offset(20)}},
        {"text", {type(12), count(5), offset(28)}},
        {"bool", {type(28), offset(33)}},
        {"big", {type(0x106), offset(34)}},
        {"five", {type(5), offset(34)}},
        {"thirty-one", {type(31), offset(34)}},
    })));
    EXPECT_EQ(at(0).type(), code(SettingType::Int32));
    EXPECT_TRUE(at(0).readonly());
    EXPECT_EQ(at(0).count(), 1);  // default count
    EXPECT_EQ(at(1).type(), 255u);
    EXPECT_EQ(at(1).elementSize(), 8u);
    EXPECT_FALSE(at(1).readonly());
    EXPECT_EQ(at(2).type(), 255u);
    EXPECT_TRUE(at(2).readonly());
    EXPECT_EQ(at(3).type(), code(SettingType::Bits64));
    EXPECT_EQ(at(4).type(), code(SettingType::Text));
    EXPECT_EQ(at(4).data().size(), 5u);
    EXPECT_EQ(at(5).type(), code(SettingType::Bool));
    EXPECT_EQ(at(6).type(), 255u);
    EXPECT_EQ(at(7).type(), 255u);
    EXPECT_EQ(at(8).type(), 255u);
}

TEST_F(Catalogue, MissingOffsetCountsAsTopOfImage) {
    ASSERT_TRUE(model.loadCatalogue(catalogue({{"x", {type(6)}}})));
    EXPECT_EQ(at(0).offset(), -1);
    EXPECT_EQ(model.imageSize(), 3);  // 65535 + 4 taken modulo 65536
    EXPECT_EQ(model.minOffset(), 0xFFFF);
}

TEST_F(Catalogue, ConstantSettingsAndMinOffset) {
    ASSERT_TRUE(model.loadCatalogue(catalogue({
        {"c", {type(6), offset(0), constFlag(true)}},
        {"one", {type(6), offset(20), {"const", 1}}},
        {"n", {type(6), offset(10)}},
        {"f", {type(6), offset(30), constFlag(false)}},
    })));
    EXPECT_TRUE(at(0).isConst());
    EXPECT_FALSE(at(1).isConst());
    EXPECT_FALSE(at(3).isConst());
    EXPECT_EQ(model.minOffset(), 10);
    EXPECT_EQ(model.imageSize(), 34);
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
    EXPECT_EQ(at(0).type(), code(SettingType::Text));
    EXPECT_EQ(at(0).offset(), 2);
    EXPECT_FALSE(at(0).isConst());
}

TEST_F(Catalogue, OddEntriesGetDefaults) {
    // {"v": 5, h'6279': {"type": "x", "count": -1.5}, "t"_: {}} with a byte-string and a
    // chunked text key, a non-map value and non-integer properties.
    Bytes in{0xA3};
    text(in, "v");
    in.push_back(0x05);
    in.insert(in.end(), {0x42, 'b', 'y'});
    in.push_back(0xA2);
    text(in, "type");
    text(in, "x");
    text(in, "count");
    in.insert(in.end(), {0xF9, 0xBE, 0x00});
    in.insert(in.end(), {0x7F, 0x61, 't', 0x61, 'u', 0xFF, 0xA0});
    ASSERT_TRUE(model.loadCatalogue(in));
    ASSERT_EQ(model.settings().size(), 3u);
    EXPECT_EQ(at(0).name(), "v");
    EXPECT_EQ(at(0).type(), 255u);
    EXPECT_TRUE(at(0).readonly());
    EXPECT_EQ(at(0).count(), 1);
    EXPECT_EQ(at(0).offset(), -1);
    EXPECT_EQ(at(1).name(), "by");
    EXPECT_EQ(at(1).count(), 1);
    EXPECT_EQ(at(2).name(), "tu");
}

TEST_F(Catalogue, EmptyAndRefusedCataloguesKeepOrClear) {
    ASSERT_TRUE(model.loadCatalogue(catalogue({{"keep", {type(6), offset(0)}}})));
    const std::weak_ptr<trn::Setting> kept = model.find("keep");

    // Not CBOR, not a map, truncated, negative and oversized counts: all refused.
    EXPECT_FALSE(model.loadCatalogue({}));
    EXPECT_FALSE(model.loadCatalogue({0x01}));
    EXPECT_FALSE(model.loadCatalogue({0x82, 0x01, 0x02}));
    Bytes truncated = catalogue({{"x", {type(6)}}});
    truncated.pop_back();
    EXPECT_FALSE(model.loadCatalogue(truncated));
    EXPECT_FALSE(
        model.loadCatalogue(catalogue({{"ok", {type(6)}}, {"neg", {type(6), count(-1)}}})));
    EXPECT_FALSE(model.loadCatalogue(catalogue({{"big", {type(6), count(0x20000000)}}})));
    EXPECT_FALSE(model.loadCatalogue(catalogue({{"big", {type(7), count(0x10000000)}}})));
    EXPECT_FALSE(model.loadCatalogue(catalogue({{"big", {count(0x80000000)}}})));
    ASSERT_EQ(model.settings().size(), 1u);
    EXPECT_EQ(at(0).name(), "keep");
    EXPECT_FALSE(kept.expired());
    EXPECT_EQ(model.imageSize(), 4);

    // The largest size that fits is accepted in principle; a count of 0 is fine.
    EXPECT_TRUE(trn::Setting::sizeFits(6, 0x1FFFFFFF));
    EXPECT_FALSE(trn::Setting::sizeFits(6, 0x20000000));
    EXPECT_FALSE(trn::Setting::sizeFits(12, -1));
    EXPECT_THROW(trn::Setting("n", 6, -1, 0, false, false), std::length_error);

    ASSERT_TRUE(model.loadCatalogue({0xA0}));
    EXPECT_TRUE(model.settings().empty());
    EXPECT_EQ(model.imageSize(), 0);
    EXPECT_EQ(model.minOffset(), 0xFFFF);
    EXPECT_TRUE(kept.expired());  // old settings are released
}

TEST_F(Catalogue, FindByExactAndPartialNames) {
    ASSERT_TRUE(model.loadCatalogue(catalogue({
        {"Version: Firmware", {type(12), count(16), offset(0)}},
        {"Version: VIO", {type(12), count(16), offset(16)}},
        {"Version: Hardware UID", {type(12), count(16), offset(32)}},
        {"dup", {type(6), offset(48)}},
        {"dup", {type(6), offset(52)}},
    })));
    const auto& s = model.settings();
    EXPECT_EQ(model.find("Firmware").lock(), s[0]);
    EXPECT_EQ(model.find("Version").lock(), nullptr);
    EXPECT_EQ(model.find("Version: VIO").lock(), s[1]);
    EXPECT_EQ(model.find("UID").lock(), s[2]);
    EXPECT_EQ(model.find("dup").lock(), nullptr);
    EXPECT_EQ(model.find("version").lock(), nullptr);  // case-sensitive
    EXPECT_EQ(model.find("nothing").lock(), nullptr);
}

TEST_F(Catalogue, ExactMatchBeatsPartialInEitherOrder) {
    for (bool exactFirst : {true, false}) {
        std::vector<Entry> entries = {{"gain", {type(6), offset(0)}},
                                      {"gain limit", {type(6), offset(4)}},
                                      {"gain offset", {type(6), offset(8)}}};
        if (!exactFirst) {
            std::swap(entries[0], entries[2]);
        }
        ASSERT_TRUE(model.loadCatalogue(catalogue(entries)));
        const auto found = model.find("gain").lock();
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->name(), "gain");
    }
}

TEST_F(Catalogue, CacheLivesUntilTheNextCatalogue) {
    ASSERT_TRUE(model.loadCatalogue(catalogue({{"alpha", {type(6), offset(0)}}})));
    EXPECT_EQ(model.find("beta").lock(), nullptr);  // cached as not found
    ASSERT_TRUE(model.loadCatalogue(
        catalogue({{"alpha", {type(6), offset(0)}}, {"beta", {type(6), offset(4)}}})));
    ASSERT_NE(model.find("beta").lock(), nullptr);
    EXPECT_EQ(model.find("beta").lock()->offset(), 4);
    EXPECT_EQ(model.find("beta").lock(), model.settings()[1]);  // from the cache
    // A failed load keeps both the settings and the cache.
    EXPECT_FALSE(model.loadCatalogue({0xFF}));
    EXPECT_EQ(model.find("beta").lock(), model.settings()[1]);
}
