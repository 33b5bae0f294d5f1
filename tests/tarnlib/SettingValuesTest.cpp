#include <gtest/gtest.h>

#include <cmath>
#include <system_error>

#include "ModelTestSupport.h"
#include "SettingsModel.h"

using namespace modeltest;
using trn::Setting;
using trn::SettingType;

namespace {

constexpr uint32_t code(SettingType t) {
    return static_cast<uint32_t>(t);
}

Setting make(SettingType t, int32_t count = 1, int32_t offset = 0) {
    return Setting("s", code(t), count, offset, false, false);
}

}  // namespace

TEST(SettingValues, Int32) {
    Setting s = make(SettingType::Int32);
    EXPECT_TRUE(s.setValue(-1, 0));
    EXPECT_EQ(s.data(), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(s.value(0), -1);
    EXPECT_TRUE(s.changed());
    s.setValue(3.99, 0);
    EXPECT_EQ(s.value(0), 3);
    s.setValue(-3.99, 0);
    EXPECT_EQ(s.value(0), -3);
    s.setValue(3e9, 0);
    EXPECT_EQ(s.value(0), -2147483648.0);
    s.setValue(2147483647.9, 0);
    EXPECT_EQ(s.value(0), 2147483647.0);
    s.setValue(NAN, 0);
    EXPECT_EQ(s.value(0), -2147483648.0);
    s.setValue(-INFINITY, 0);
    EXPECT_EQ(s.value(0), -2147483648.0);
    s.setValue(0x01020304, 0);
    EXPECT_EQ(s.data(), (Bytes{4, 3, 2, 1}));  // little-endian
}

TEST(SettingValues, BoolAndTextBytes) {
    Setting b = make(SettingType::Bool);
    b.setValue(2, 0);
    EXPECT_EQ(b.value(0), 2);
    b.setValue(256, 0);
    EXPECT_EQ(b.value(0), 0);
    b.setValue(0.5, 0);
    EXPECT_EQ(b.value(0), 0);
    b.setValue(1.9, 0);
    EXPECT_EQ(b.value(0), 1);
    b.setValue(-1, 0);
    EXPECT_EQ(b.value(0), 255);
    b.setValue(1e9, 0);  // out of 16-bit range: -32768, low byte 0
    EXPECT_EQ(b.value(0), 0);
    Setting t = make(SettingType::Text, 4);
    t.setValue('A', 2);
    EXPECT_EQ(t.value(2), 'A');
    EXPECT_EQ(t.data(), (Bytes{0, 0, 'A', 0}));
}

TEST(SettingValues, Float32) {
    Setting f = make(SettingType::Float32);
    f.setValue(0.1, 0);
    EXPECT_EQ(f.data(), (Bytes{0xCD, 0xCC, 0xCC, 0x3D}));
    EXPECT_EQ(f.value(0), 0.10000000149011612);
    f.setValue(1e300, 0);  // beyond the float range: infinity, without undefined behaviour
    EXPECT_EQ(f.value(0), INFINITY);
    f.setValue(-3.4028235e38, 0);  // just above the largest float: rounds to it
    EXPECT_EQ(f.value(0), -3.4028234663852886e38);
    f.setValue(NAN, 0);
    EXPECT_TRUE(std::isnan(f.value(0)));
}

TEST(SettingValues, UninterpretedAndOutOfRange) {
    for (SettingType t : {SettingType::Bits64, SettingType::Invalid}) {
        Setting s = make(t);
        EXPECT_TRUE(std::isnan(s.value(0)));
        EXPECT_FALSE(s.setValue(1, 0));
        EXPECT_EQ(s.data(), Bytes(8, 0));
        EXPECT_FALSE(s.changed());
        EXPECT_EQ(s.text(), "");
        EXPECT_FALSE(s.setText("x"));
    }
    Setting s = make(SettingType::Int32, 2);
    EXPECT_TRUE(std::isnan(s.value(2)));
    EXPECT_TRUE(std::isnan(s.value(-1)));
    EXPECT_FALSE(s.setValue(1, 2));
    EXPECT_FALSE(s.setValue(1, -1));
    EXPECT_FALSE(s.changed());
    Setting empty = make(SettingType::Int32, 0);
    EXPECT_FALSE(empty.setValue(1, 0));
    EXPECT_TRUE(std::isnan(empty.value(0)));
}

TEST(SettingValues, ChangedOnlyWhenBytesDiffer) {
    Setting i = make(SettingType::Int32);
    i.setValue(-5, 0);
    i.setChanged(false);
    i.setValue(-5, 0);
    EXPECT_FALSE(i.changed());
    i.setValue(-6, 0);
    EXPECT_TRUE(i.changed());
    Setting b = make(SettingType::Bool);
    b.setValue(0x90, 0);
    b.setChanged(false);
    b.setValue(0x90, 0);
    EXPECT_FALSE(b.changed());
}

TEST(SettingValues, Text) {
    Setting t = make(SettingType::Text, 8);
    t.setText("HELLO");
    t.setText("HI");
    EXPECT_EQ(t.data(), (Bytes{'H', 'I', 0, 'L', 'O', 0, 0, 0}));
    EXPECT_EQ(t.text(), "HI");
    t.setChanged(false);
    t.setText("HI");
    EXPECT_FALSE(t.changed());
    t.setText("ABCDEFGH");
    EXPECT_EQ(t.text(), "ABCDEFGH");
    EXPECT_TRUE(t.changed());
    t.setText("0123456789");
    EXPECT_EQ(t.text(), "01234567");
    EXPECT_TRUE(make(SettingType::Text, 0).setText("x"));  // nothing to store, no fault
    EXPECT_EQ(make(SettingType::Int32).text(), "");
}

TEST(SettingValues, ApplyImage) {
    Setting s("s", code(SettingType::Int32), 2, 4, false, false);
    // The slice covers bytes 6..9 of the image: the second half of element 0 and half of 1.
    EXPECT_TRUE(s.applyImage(6, {1, 2, 3, 4}));
    EXPECT_EQ(s.data(), (Bytes{0, 0, 1, 2, 3, 4, 0, 0}));
    EXPECT_FALSE(s.applyImage(6, {1, 2, 3, 4}));  // no byte changes
    EXPECT_FALSE(s.applyImage(0, {9, 9, 9, 9}));  // no overlap
    EXPECT_FALSE(s.applyImage(12, {9}));
    EXPECT_FALSE(s.changed());
    Setting top("t", code(SettingType::Int32), 1, -1, false, false);
    EXPECT_TRUE(top.applyImage(0, {7, 8, 9}));
    EXPECT_EQ(top.data(), (Bytes{0, 7, 8, 9}));
    Setting far("f", code(SettingType::Int32), 1, 0x7FFFFFFF, false, false);
    // Offsets near the top of the 32-bit range overlap without overflow.
    EXPECT_TRUE(far.applyImage(0x7FFFFFFE, {1, 2, 3, 4}));
    EXPECT_EQ(far.data(), (Bytes{2, 3, 4, 0}));
}

namespace {

class Values : public ::testing::Test {
  protected:
    FakeTransport unit;
    trn::SettingsModel model{unit};

    void SetUp() override {
        unit.catalogueBytes = catalogue({
            {"int", {type(6), offset(4)}},
            {"flag", {type(28), offset(0x0102)}},
            {"Version: Firmware", {type(12), count(8), offset(8)}},
            {"bits", {type(7), offset(16)}},
            {"const", {type(6), offset(0), constFlag(true)}},
        });
        unit.image.assign(0x0103, 0);
        unit.image[4] = 42;
        unit.image[8] = '2';
        unit.image[9] = '.';
        unit.image[10] = '1';
        unit.image[16] = 0xAB;
    }
};

}  // namespace

TEST_F(Values, LoadReadsCatalogueAndImage) {
    ASSERT_TRUE(model.load());
    EXPECT_EQ(unit.reconnects, 1);
    ASSERT_EQ(unit.reads.size(), 1u);
    EXPECT_EQ(unit.reads[0], std::make_pair(uint16_t{0}, uint16_t{0x0103}));
    EXPECT_EQ(model.value("int", 0, -7), 42);
    EXPECT_EQ(model.valueText("Firmware", "none"), "2.1");
    EXPECT_EQ(model.valueText("int", "none"), "");
    EXPECT_EQ(model.valueText("missing", "none"), "none");
    EXPECT_EQ(model.value("missing", 0, -7), -7);
    EXPECT_TRUE(std::isnan(model.value("bits", 0, -7)));
    EXPECT_EQ(model.settings()[3]->data()[0], 0xAB);
    for (const auto& s : model.settings()) {
        EXPECT_TRUE(s->valid());
        EXPECT_FALSE(s->changed());
    }
    // Refresh from the lowest non-constant offset keeps local changes.
    EXPECT_TRUE(model.setValue("int", 5, 0));
    unit.image[4] = 43;
    unit.image[0x0102] = 1;
    ASSERT_TRUE(model.readValues(true));
    EXPECT_EQ(unit.reads.back(), std::make_pair(uint16_t{4}, uint16_t{0x0103 - 4}));
    EXPECT_EQ(model.value("int", 0, 0), 5);
    EXPECT_EQ(model.value("flag", 0, 0), 1);
}

TEST_F(Values, LoadFailures) {
    ASSERT_TRUE(model.load());
    const auto first = model.settings();

    unit.failReconnect = true;
    EXPECT_FALSE(model.load());
    EXPECT_EQ(model.settings(), first);
    unit.failReconnect = false;

    unit.catalogueBytes.clear();
    EXPECT_FALSE(model.load());
    unit.catalogueBytes = {0x01};
    EXPECT_FALSE(model.load());
    EXPECT_EQ(model.settings(), first);

    SetUp();
    unit.imageShortBy = 1;
    EXPECT_FALSE(model.load());
    ASSERT_EQ(model.settings().size(), 5u);
    EXPECT_NE(model.settings(), first);  // the new catalogue stays, without values
    EXPECT_FALSE(model.settings()[0]->valid());
    EXPECT_EQ(model.value("int", 0, -1), 0);
}

TEST_F(Values, EmptyCatalogueReadsNothing) {
    unit.catalogueBytes = {0xA0};
    ASSERT_TRUE(model.load());
    EXPECT_EQ(unit.reads.back(), std::make_pair(uint16_t{0}, uint16_t{0}));
    EXPECT_TRUE(model.settings().empty());
}

TEST_F(Values, OtherExceptionsPassThroughLoad) {
    struct Throwing : FakeTransport {
        Bytes readCatalogue() override { throw std::logic_error("inflate"); }
    } broken;
    trn::SettingsModel m(broken);
    EXPECT_THROW(m.load(), std::logic_error);
    struct UsbFailure : FakeTransport {
        int reconnect() override {
            throw std::system_error(std::make_error_code(std::errc::no_such_device));
        }
    } gone;
    trn::SettingsModel m2(gone);
    EXPECT_FALSE(m2.load());
}

TEST_F(Values, WriteChangedSendsRecordsInCatalogueOrder) {
    ASSERT_TRUE(model.load());
    model.writeChanged();
    EXPECT_TRUE(unit.writes.empty());

    EXPECT_TRUE(model.setValue("flag", 1, 0));
    EXPECT_TRUE(model.setValue("int", 5, 0));
    EXPECT_TRUE(model.setValue("bits", 5, 0));  // found, but nothing stored
    EXPECT_FALSE(model.setValue("missing", 5, 0));
    EXPECT_TRUE(model.setValue("int", 5, 3));  // out of range, still true by name
    model.writeChanged();
    ASSERT_EQ(unit.writes.size(), 1u);
    EXPECT_EQ(unit.writes[0], (Bytes{0x04, 0x00, 0x04, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0x01,
                                     0x01, 0x00, 0x01}));
    for (const auto& s : model.settings()) {
        EXPECT_FALSE(s->changed());
    }
    model.writeChanged();
    EXPECT_EQ(unit.writes.size(), 1u);

    EXPECT_TRUE(model.setText("Firmware", "3.0"));
    EXPECT_FALSE(model.setText("nothing", "x"));
    EXPECT_TRUE(model.setText("int", "x"));  // found; the setting refuses
    model.writeChanged();
    ASSERT_EQ(unit.writes.size(), 2u);
    EXPECT_EQ(unit.writes[1], (Bytes{8, 0, 8, 0, '3', '.', '0', 0, 0, 0, 0, 0}));
}
