#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "ModelTestSupport.h"
#include "tarnlib/SettingsModel.h"

using namespace modeltest;

namespace {

// Code, entries, applied settings and elements of the import status.
using Status = std::array<int32_t, 4>;

class Json : public ::testing::Test {
  protected:
    FakeTransport unit;
    trn::SettingsModel model{unit};

    void load(const std::vector<Entry>& entries) {
        ASSERT_TRUE(model.loadCatalogue(catalogue(entries)));
    }
    Status status() const {
        Status s{};
        model.importStatus(s[0], s[1], s[2], s[3]);
        return s;
    }
    trn::Setting& at(size_t i) { return *model.settings().at(i); }
};

TEST_F(Json, ExportedTextAndItsImport) {
    EXPECT_EQ(model.exportJson(false), "{}");
    load({{"i", 6, 0},
          {"b", 28, 4},
          {"f", 30, 5},
          {"g", 30, 9},
          {"n", 30, 13, 3},
          {"x", 7, 25},
          {"t\"\\\x01", 12, 35, 16},
          {"empty", 6, 51, 0},
          {"nt", 12, 51, 0}});
    at(0).setValue(-1, 0);
    at(1).setValue(2, 0);
    at(2).setValue(0.1, 0);
    at(3).setValue(3.0, 0);
    at(4).setValue(NAN, 0);
    at(4).setValue(INFINITY, 1);
    at(4).setValue(-INFINITY, 2);
    at(6).setText("a\tb\"c\x01\x7f\xc3\xa9\n\\");
    EXPECT_EQ(model.exportJson(false),
              "{\n"
              "    \"i\": -1,\n"
              "    \"b\": true,\n"
              "    \"f\": 0.10000000149011612,\n"
              "    \"g\": 3.0,\n"
              "    \"n\": [\n"
              "        NaN,\n"
              "        Infinity,\n"
              "        -Infinity\n"
              "    ],\n"
              "    \"x\": NaN,\n"
              "    \"t\\\"\\\\\\u0001\": \"a\\tb\\\"c\\u0001\x7f\xc3\xa9\\n\\\\\",\n"
              "    \"empty\": [],\n"
              "    \"nt\": \"\"\n"
              "}");
    // Importing what was exported changes nothing.
    at(1).setValue(1, 0);  // what true is read back as
    const std::string text = model.exportJson(false);
    for (const auto& s : model.settings()) {
        s->setChanged(false);
    }
    ASSERT_TRUE(model.importJson(text));
    EXPECT_EQ(status(), (Status{0, 9, 9, 10}));
    EXPECT_EQ(model.exportJson(false), text);
    for (const auto& s : model.settings()) {
        EXPECT_FALSE(s->changed()) << s->name();
    }
    // Only what was read from the unit when asked for valid values.
    EXPECT_EQ(model.exportJson(true), "{}");
    at(0).setValid(true);
    EXPECT_EQ(model.exportJson(true), "{\n    \"i\": -1\n}");
}

TEST_F(Json, ImportRules) {
    load({{"trigger bootloader", 28, 12},
          {"gain", 6, 0, 2},
          {"ratio", 30, 8},
          {"name", 12, 13, 4},
          {"raw", 7, 17}});
    // Partial names, objects holding "value", unknown names and longer arrays.
    ASSERT_TRUE(model.importJson(
        "{\"boot\": {\"value\": 1, \"type\": 28}, \"nobody\": 3, \"gain\": [7, 8, 9],"
        " \"raw\": 5, \"name\": \"ab\xC3\xBC\"}"));
    EXPECT_EQ(at(0).data(), Bytes{1});
    EXPECT_EQ(at(1).value(0), 7);
    EXPECT_EQ(at(1).value(1), 8);
    EXPECT_EQ(at(4).data(), Bytes(8, 0));
    EXPECT_EQ(at(3).text(), "ab\xC3\xBC");
    EXPECT_EQ(status(), (Status{0, 5, 4, 5}));

    // A shorter array leaves the rest; a string into a number fails with code 5, and a text
    // import (the restore) still applies the members around it.
    ASSERT_TRUE(model.importJson("{\"gain\": [1]}"));
    EXPECT_EQ(at(1).value(1), 8);
    EXPECT_EQ(status(), (Status{0, 6, 5, 6}));  // counters add up across text imports
    EXPECT_FALSE(model.importJson("{\"ratio\": 2.5, \"gain\": \"3\", \"name\": \"zz\"}"));
    EXPECT_EQ(at(2).value(0), 2.5);
    EXPECT_EQ(at(3).text(), "zz");
    EXPECT_EQ(status()[0], 5);
    EXPECT_EQ(model.importReport().refusal,
              "\"gain\" was refused: its value does not fit a setting of type Int32");
    EXPECT_FALSE(model.importJson("{\"gain\": [[1]]}"));
    EXPECT_TRUE(model.importJson("{\"zzz\": null}"));  // fine where no setting answers
    // A text takes strings only; numbers that a number setting holds otherwise are named.
    for (const char* number : {"5", "true", "[65]"}) {
        EXPECT_FALSE(model.importJson(std::string("{\"name\": ") + number + "}")) << number;
        EXPECT_EQ(at(3).text(), "zz");
    }
    ASSERT_TRUE(
        model.importJson("{\"ratio\": 1e300, \"gain\": [3, 2.9], \"name\": \"abc\xC3\xBC\"}"));
    EXPECT_EQ(model.importReport().notes,
              (std::vector<std::string>{
                  "\"ratio\" was stored as Infinity, not the 1e300 given",
                  "\"gain\" element 1 was stored as 2, not the 2.9 given",
                  "\"name\" was cut to 3 bytes, the whole characters that fit the setting's 4"}));
}

TEST_F(Json, ImportParseErrorsAndFiles) {
    load({{"a", 6, 0}});
    ASSERT_TRUE(model.importJson(std::string(" {\"a\": 5}\0garbage", 17)));  // ends at a NUL
    EXPECT_EQ(at(0).value(0), 5);
    const Status before = status();
    for (const char* bad : {"", "{", "{\"a\": 1,}", "{\"a\": 01}"}) {
        EXPECT_FALSE(model.importJson(bad)) << bad;
        EXPECT_EQ(status(), before) << bad;  // the status is left alone
    }
    EXPECT_FALSE(model.importJson("[]"));
    EXPECT_EQ(status()[0], 3);

    const std::string path = ::testing::TempDir() + "model_import_test.json";
    EXPECT_FALSE(model.importJsonFile(path + ".missing"));
    EXPECT_EQ(status(), (Status{1, 0, 0, 0}));
    std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBF{\"a\": 1}";
    EXPECT_FALSE(model.importJsonFile(path));
    EXPECT_EQ(status()[0], 2);
    std::ofstream(path, std::ios::binary) << "{\"a\": 9}";
    ASSERT_TRUE(model.importJsonFile(path));
    EXPECT_EQ(status(), (Status{0, 1, 1, 1}));  // reset at the start of a file import
    std::remove(path.c_str());

    // Deep nesting is refused without recursion.
    constexpr size_t kDepth = 1000000;
    const std::string deep = std::string(kDepth, '[') + std::string(kDepth, ']');
    EXPECT_FALSE(model.importJson(deep));
    EXPECT_EQ(status()[0], 3);
    EXPECT_FALSE(model.loadCatalogueJson(std::string(kDepth, '[')));
}

// The full form describes each setting; a model rebuilt from it exports the same text, with
// values taken from "data" only.
TEST_F(Json, FullFormRebuildsTheCatalogue) {
    load({{"limits", 6 | 0x80, 4, 2}, {"nothing", 12, 13, 0}});
    const std::string full = model.exportJsonFull();
    EXPECT_NE(full.find("\"readonly\": true"), std::string::npos) << full;
    at(0).setValue(-1, 1);
    trn::SettingsModel rebuilt(unit);
    ASSERT_TRUE(rebuilt.loadCatalogueJson(model.exportJsonFull()));
    EXPECT_EQ(rebuilt.exportJsonFull(), full);
    EXPECT_EQ(rebuilt.imageSize(), 13);

    ASSERT_TRUE(rebuilt.loadCatalogueJson(
        "{\"a\": {\"readonly\": true, \"type\": 30, \"count\": 2, \"offset\": 10, \"const\": true,"
        " \"data\": [1.5, 2]}}"));
    EXPECT_TRUE(rebuilt.settings()[0]->isConst());
    EXPECT_EQ(rebuilt.settings()[0]->value(1), 2.0);
    const auto kept = rebuilt.settings();
    for (const char* bad : {
             "[]",
             "{\"x\": {\"type\": 8, \"count\": 1, \"offset\": 0, \"readonly\": false}}",
             "{\"x\": {\"type\": 6, \"count\": -1, \"offset\": 0, \"readonly\": false}}",
             "{\"x\": {\"type\": 6, \"count\": 1, \"offset\": 65532, \"readonly\": false}}",
         }) {
        EXPECT_FALSE(rebuilt.loadCatalogueJson(bad)) << bad;
    }
    EXPECT_EQ(rebuilt.settings(), kept);
}

}  // namespace
