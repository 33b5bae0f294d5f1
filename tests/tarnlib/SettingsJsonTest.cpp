#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "ModelTestSupport.h"
#include "SettingsModel.h"

using namespace modeltest;

namespace {

struct Status {
    int32_t code, entries, applied, elements;
    bool operator==(const Status& o) const {
        return code == o.code && entries == o.entries && applied == o.applied &&
               elements == o.elements;
    }
};
std::ostream& operator<<(std::ostream& os, const Status& s) {
    return os << "{" << s.code << "," << s.entries << "," << s.applied << "," << s.elements << "}";
}

class Json : public ::testing::Test {
  protected:
    FakeTransport unit;
    trn::SettingsModel model{unit};

    void load(const std::vector<Entry>& entries) {
        ASSERT_TRUE(model.loadCatalogue(catalogue(entries)));
    }
    Status status() const {
        Status s{};
        model.importStatus(s.code, s.entries, s.applied, s.elements);
        return s;
    }
    trn::Setting& at(size_t i) { return *model.settings().at(i); }
    std::string tempPath(const char* name) {
        return ::testing::TempDir() + "model_" + name + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".json";
    }
    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void writeFile(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
};

}  // namespace

TEST_F(Json, ExportLayout) {
    EXPECT_EQ(model.exportJson(false), "{}");
    load({{"a", {type(6), offset(0)}},
          {"b", {type(30), count(2), offset(4)}},
          {"Version: Firmware", {type(12), count(8), offset(12)}}});
    at(0).setValue(3, 0);
    at(1).setValue(1.0, 0);
    at(1).setValue(0.5, 1);
    at(2).setText("2.1");
    EXPECT_EQ(model.exportJson(false),
              "{\n"
              "    \"a\": 3,\n"
              "    \"b\": [\n"
              "        1.0,\n"
              "        0.5\n"
              "    ],\n"
              "    \"Version: Firmware\": \"2.1\"\n"
              "}");
    EXPECT_EQ(model.exportJson(true), "{}");  // nothing read from the unit yet
    at(2).setValid(true);
    EXPECT_EQ(model.exportJson(true), "{\n    \"Version: Firmware\": \"2.1\"\n}");
}

TEST_F(Json, ExportValuesAndEscapes) {
    load({{"i", {type(6), offset(0)}},
          {"b", {type(28), offset(4)}},
          {"f", {type(30), offset(5)}},
          {"g", {type(30), offset(9)}},
          {"n", {type(30), count(3), offset(13)}},
          {"x", {type(7), offset(25)}},
          {"bb", {type(28), count(2), offset(33)}},
          {"t\"\\\x01", {type(12), count(16), offset(35)}},
          {"empty", {type(6), count(0), offset(51)}},
          {"nt", {type(12), count(0), offset(51)}}});
    at(0).setValue(-1, 0);
    at(1).setValue(2, 0);
    at(2).setValue(0.1, 0);
    at(3).setValue(3.0, 0);
    at(4).setValue(NAN, 0);
    at(4).setValue(INFINITY, 1);
    at(4).setValue(-INFINITY, 2);
    at(6).setValue(1, 1);
    at(7).setText("a\tb\"c\x01\x7f\xc3\xa9\n\\");
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
              "    \"bb\": [\n"
              "        false,\n"
              "        true\n"
              "    ],\n"
              "    \"t\\\"\\\\\\u0001\": \"a\\tb\\\"c\\u0001\x7f\xc3\xa9\\n\\\\\",\n"
              "    \"empty\": [],\n"
              "    \"nt\": \"\"\n"
              "}");
    EXPECT_EQ(at(0).valueJson(), "-1");
    EXPECT_EQ(at(4).valueJson(), "[\n    NaN,\n    Infinity,\n    -Infinity\n]");
}

TEST_F(Json, ExportThenImportChangesNothing) {
    load({{"i", {type(6), count(2), offset(0)}},
          {"f", {type(30), offset(8)}},
          {"t", {type(12), count(6), offset(12)}},
          {"b0", {type(28), offset(18)}},
          {"b1", {type(28), offset(19)}},
          {"b2", {type(28), offset(20)}},
          {"x", {type(7), offset(21)}}});
    at(0).setValue(-123456, 0);
    at(0).setValue(2147483647, 1);
    at(1).setValue(0.1, 0);
    at(2).setText("a\"\\\t");
    at(4).setValue(1, 0);
    at(5).setValue(2, 0);
    for (const auto& s : model.settings()) {
        s->setChanged(false);
    }
    std::vector<Bytes> before;
    for (const auto& s : model.settings()) {
        before.push_back(s->data());
    }
    ASSERT_TRUE(model.importJson(model.exportJson(false)));
    EXPECT_EQ(status(), (Status{0, 7, 7, 8}));
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(at(i).data(), before[i]) << i;
        EXPECT_FALSE(at(i).changed()) << i;
    }
    EXPECT_EQ(at(5).data(), Bytes{1});  // a Bool byte 2 comes back as 1
    EXPECT_TRUE(at(5).changed());
    EXPECT_EQ(at(6).data(), before[6]);
}

TEST_F(Json, ImportRules) {
    load({{"trigger bootloader", {type(28), offset(12)}},
          {"gain", {type(6), count(2), offset(0)}},
          {"ratio", {type(30), offset(8)}},
          {"name", {type(12), count(4), offset(13)}},
          {"raw", {type(7), offset(17)}}});
    ASSERT_TRUE(model.importJson("{\"trigger bootloader\": 1}"));
    EXPECT_EQ(at(0).data(), Bytes{1});
    EXPECT_EQ(status(), (Status{0, 1, 1, 1}));

    // Counters add up across text imports; partial names, objects and unknown names.
    ASSERT_TRUE(model.importJson(
        "{\"boot\": {\"value\": 0, \"type\": 28}, \"nobody\": 3, \"gain\": [7, 8, 9],"
        " \"raw\": 5, \"name\": [65, true]}"));
    EXPECT_EQ(at(0).data(), Bytes{0});
    EXPECT_EQ(at(1).value(0), 7);
    EXPECT_EQ(at(1).value(1), 8);
    EXPECT_EQ(at(4).data(), Bytes(8, 0));
    EXPECT_EQ(at(3).data(), (Bytes{'A', 1, 0, 0}));
    EXPECT_EQ(status(), (Status{0, 6, 5, 7}));

    // A shorter array leaves the rest; a string into a number fails with code 5.
    ASSERT_TRUE(model.importJson("{\"gain\": [1]}"));
    EXPECT_EQ(at(1).value(1), 8);
    EXPECT_FALSE(model.importJson("{\"ratio\": 2.5, \"gain\": \"3\", \"name\": \"zz\"}"));
    EXPECT_EQ(at(2).value(0), 2.5);
    EXPECT_EQ(at(3).text(), "A\x01");  // after the failing member nothing is applied
    EXPECT_EQ(status().code, 5);

    EXPECT_FALSE(model.importJson("{\"gain\": [4, \"x\"]}"));
    EXPECT_EQ(at(1).value(0), 4);  // stored before the string
    for (const char* refused :
         {"{\"gain\": {\"type\": 6}}", "{\"gain\": null}", "{\"gain\": []}", "{\"gain\": [null]}",
          "{\"gain\": [[1]]}", "{\"gain\": {\"value\": {\"value\": 1}}}"}) {
        EXPECT_FALSE(model.importJson(refused)) << refused;
    }
    // The same refused values are fine when the name finds no setting.
    EXPECT_TRUE(model.importJson("{\"zzz\": null}"));

    ASSERT_TRUE(model.importJson("{\"ratio\": NaN, \"gain\": -Infinity, \"name\": \"x\"}"));
    EXPECT_TRUE(std::isnan(at(2).value(0)));
    EXPECT_EQ(at(1).value(0), -2147483648.0);
    ASSERT_TRUE(model.importJson("{\"gain\": Infinity, \"trigger\": true}"));
    EXPECT_EQ(at(1).value(0), -2147483648.0);
    EXPECT_EQ(at(0).data(), Bytes{1});
}

TEST_F(Json, ImportParseErrors) {
    load({{"a", {type(6), offset(0)}}});
    ASSERT_TRUE(model.importJson("{\"a\": 1}"));
    const Status before = status();
    for (const char* bad : {"", "{", "{\"a\": 1} {}", "{\"a\": 1,}", "// c\n{}", "{\"a\": 01}"}) {
        EXPECT_FALSE(model.importJson(bad)) << bad;
        EXPECT_EQ(status(), before) << bad;  // the status is left alone
    }
    EXPECT_FALSE(model.importJson("[]"));
    EXPECT_EQ(status().code, 3);
    ASSERT_TRUE(model.importJson(" \t\r\n{\"a\": 2} \n"));
    EXPECT_EQ(at(0).value(0), 2);
    // Text after a NUL is not part of the document.
    ASSERT_TRUE(model.importJson(std::string("{\"a\": 5}\0garbage", 16)));
    EXPECT_EQ(at(0).value(0), 5);
}

TEST_F(Json, DeeplyNestedTextIsRefusedWithoutRecursion) {
    load({{"a", {type(6), offset(0)}}});
    constexpr size_t kDepth = 1000000;
    EXPECT_FALSE(model.importJson(std::string(kDepth, '[') + std::string(kDepth, ']')));
    EXPECT_EQ(status().code, 3);
    EXPECT_FALSE(
        model.importJson("{\"a\": " + std::string(kDepth, '[') + std::string(kDepth, ']') + "}"));
    EXPECT_EQ(status().code, 5);
    EXPECT_FALSE(model.importJson(std::string(kDepth, '{')));
    EXPECT_FALSE(model.loadCatalogueJson(std::string(kDepth, '[')));
}

TEST_F(Json, EmptyModelSkipsEverything) {
    ASSERT_TRUE(model.importJson("{\"a\": 1, \"b\": \"x\", \"c\": null}"));
    EXPECT_EQ(status(), (Status{0, 3, 0, 0}));
}

TEST_F(Json, ImportFile) {
    load({{"a", {type(6), offset(0)}}, {"t", {type(12), count(4), offset(4)}}});
    const std::string path = tempPath("import");

    EXPECT_FALSE(model.importJsonFile(path + ".missing"));
    EXPECT_EQ(status(), (Status{1, 0, 0, 0}));

    writeFile(path, "\xEF\xBB\xBF{\"a\": 1}");
    EXPECT_FALSE(model.importJsonFile(path));
    EXPECT_EQ(status().code, 2);

    writeFile(path, "3");
    EXPECT_FALSE(model.importJsonFile(path));
    EXPECT_EQ(status().code, 3);

    // A file larger than the read buffer, with a member near the end.
    std::string big = "{\"pad\": \"" + std::string(70000, 'p') + "\", \"a\": 9, \"t\": \"ok\"}";
    writeFile(path, big);
    ASSERT_TRUE(model.importJsonFile(path));
    EXPECT_EQ(status(), (Status{0, 3, 2, 2}));  // reset at the start of a file import
    EXPECT_EQ(at(0).value(0), 9);
    EXPECT_EQ(at(1).text(), "ok");
    std::remove(path.c_str());
}

TEST_F(Json, FullFormAndFile) {
    load({{"trigger bootloader", {type(28), offset(12)}},
          {"serial", {type(12 | 0x80), count(4), offset(0)}},
          {"limits", {type(6 | 0x80), count(2), offset(4)}},
          {"nothing", {type(6), count(0), offset(13)}}});
    at(1).setText("ab");
    at(2).setValue(-1, 1);
    const std::string full =
        "{\n"
        "    \"trigger bootloader\": {\n"
        "        \"type\": 28,\n"
        "        \"count\": 1,\n"
        "        \"offset\": 12,\n"
        "        \"readonly\": false,\n"
        "        \"value\": false\n"
        "    },\n"
        "    \"serial\": {\n"
        "        \"type\": 12,\n"
        "        \"count\": 4,\n"
        "        \"offset\": 0,\n"
        "        \"readonly\": true,\n"
        "        \"value\": \"ab\"\n"
        "    },\n"
        "    \"limits\": {\n"
        "        \"type\": 6,\n"
        "        \"count\": 2,\n"
        "        \"offset\": 4,\n"
        "        \"readonly\": true,\n"
        "        \"value\": [\n"
        "            0,\n"
        "            -1\n"
        "        ]\n"
        "    },\n"
        "    \"nothing\": {\n"
        "        \"type\": 6,\n"
        "        \"count\": 0,\n"
        "        \"offset\": 13,\n"
        "        \"readonly\": false,\n"
        "        \"value\": []\n"
        "    }\n"
        "}";
    EXPECT_EQ(model.exportJsonFull(), full);

    const std::string path = tempPath("full");
    EXPECT_EQ(model.exportJsonFile(path, false, true), 4);
    EXPECT_EQ(readFile(path), full);
    EXPECT_EQ(model.exportJsonFile(path.c_str(), true, false), 2);
    rapidjson::Document d;
    d.Parse<rapidjson::kParseNanAndInfFlag>(readFile(path).c_str());
    ASSERT_TRUE(d.IsObject());
    EXPECT_TRUE(d.HasMember("trigger bootloader"));
    EXPECT_TRUE(d.HasMember("nothing"));
    EXPECT_FALSE(d.HasMember("serial"));
    EXPECT_EQ(model.exportJsonFile(path, true, true), 3);
    d.Parse<rapidjson::kParseNanAndInfFlag>(readFile(path).c_str());
    EXPECT_TRUE(d.HasMember("serial"));
    EXPECT_FALSE(d.HasMember("limits"));
    EXPECT_EQ(model.exportJsonFile(::testing::TempDir() + "no/such/dir/x.json", false, false), 0);
    std::remove(path.c_str());

    // The full form describes a catalogue that rebuilds the same settings with zero values.
    trn::SettingsModel rebuilt(unit);
    ASSERT_TRUE(rebuilt.loadCatalogueJson(full));
    ASSERT_EQ(rebuilt.settings().size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const auto& a = at(i);
        const auto& b = *rebuilt.settings()[i];
        EXPECT_EQ(a.name(), b.name());
        EXPECT_EQ(a.type(), b.type());
        EXPECT_EQ(a.count(), b.count());
        EXPECT_EQ(a.offset(), b.offset());
        EXPECT_EQ(a.readonly(), b.readonly());
        EXPECT_FALSE(b.isConst());
        EXPECT_EQ(b.data(), Bytes(b.data().size(), 0));
    }
    EXPECT_EQ(rebuilt.imageSize(), 13);
    EXPECT_EQ(rebuilt.exportJson(true), "{}");
}

TEST_F(Json, CatalogueDescription) {
    ASSERT_TRUE(model.loadCatalogueJson(
        "{\"a\": {\"readonly\": true, \"type\": 30, \"count\": 2, \"offset\": 10,"
        "        \"const\": true, \"data\": [1.5, 2]},"
        " \"b\": {\"offset\": 0, \"count\": 1, \"type\": 6, \"readonly\": false, \"const\": 1,"
        "        \"data\": \"nope\", \"extra\": {}},"
        " \"c\": {\"offset\": 4, \"count\": 1, \"type\": 28, \"readonly\": false, \"data\": 0}}"));
    ASSERT_EQ(model.settings().size(), 3u);
    EXPECT_TRUE(at(0).readonly());
    EXPECT_TRUE(at(0).isConst());
    EXPECT_EQ(at(0).value(0), 1.5);
    EXPECT_EQ(at(0).value(1), 2.0);
    EXPECT_TRUE(at(0).changed());  // non-zero bytes would be sent by writeChanged
    EXPECT_FALSE(at(0).valid());
    EXPECT_FALSE(at(1).isConst());
    EXPECT_EQ(at(1).value(0), 0);
    EXPECT_FALSE(at(1).changed());
    EXPECT_FALSE(at(2).changed());
    EXPECT_EQ(model.minOffset(), 0);
    EXPECT_EQ(model.imageSize(), 18);
    model.writeChanged();
    ASSERT_EQ(unit.writes.size(), 1u);
    EXPECT_EQ(unit.writes[0].size(), 12u);

    const auto kept = model.settings();
    const auto before = model.find("a");
    for (const char* bad : {
             "",
             "[]",
             "{\"x\": 1}",
             "{\"x\": {\"type\": 6.0, \"count\": 1, \"offset\": 0, \"readonly\": false}}",
             "{\"x\": {\"type\": 6, \"count\": 1, \"offset\": 0}}",
             "{\"x\": {\"type\": 6, \"count\": 1, \"offset\": 0, \"readonly\": 0}}",
             "{\"x\": {\"type\": 134, \"count\": 1, \"offset\": 0, \"readonly\": false}}",
             "{\"x\": {\"type\": 8, \"count\": 1, \"offset\": 0, \"readonly\": false}}",
             "{\"x\": {\"type\": 6, \"count\": 1, \"offset\": 2147483648, \"readonly\": false}}",
             "{\"x\": {\"type\": 6, \"count\": \"1\", \"offset\": 0, \"readonly\": false}}",
             "{\"x\": {\"type\": 6, \"count\": -1, \"offset\": 0, \"readonly\": false}}",
             "{\"x\": {\"type\": 6, \"count\": 536870912, \"offset\": 0, \"readonly\": false}}",
             "{\"ok\": {\"type\": 6, \"count\": 1, \"offset\": 0, \"readonly\": false},"
             " \"x\": {\"type\": 255, \"count\": 1, \"offset\": 0, \"readonly\": false}}",
         }) {
        EXPECT_FALSE(model.loadCatalogueJson(bad)) << bad;
    }
    EXPECT_EQ(model.settings(), kept);
    EXPECT_EQ(model.find("a").lock(), before.lock());

    // A description built from an invalid entry is the documented invalid setting.
    rapidjson::Document d;
    d.Parse("{\"type\": 6}");
    const trn::Setting invalid("name", d);
    EXPECT_EQ(invalid.name(), "");
    EXPECT_EQ(invalid.type(), 255u);
    EXPECT_EQ(invalid.count(), 0);
    EXPECT_TRUE(invalid.data().empty());
}
