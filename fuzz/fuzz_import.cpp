// Applies arbitrary text as settings JSON and as a JSON catalogue description.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "tarnlib/SettingsModel.h"

namespace {

const char kCatalogue[] =
    "{\"int\": {\"type\": 6, \"count\": 2, \"offset\": 0, \"readonly\": false},"
    " \"float\": {\"type\": 30, \"count\": 1, \"offset\": 8, \"readonly\": false},"
    " \"text\": {\"type\": 12, \"count\": 8, \"offset\": 12, \"readonly\": true},"
    " \"bool\": {\"type\": 28, \"count\": 3, \"offset\": 20, \"readonly\": false},"
    " \"bits\": {\"type\": 7, \"count\": 1, \"offset\": 24, \"readonly\": false}}";

// Descriptions of settings of gigabytes are legal but only exhaust the fuzzer's memory.
bool hasHugeSetting(const std::string& text) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseNanAndInfFlag>(text.c_str());
    if (d.HasParseError() || !d.IsObject()) {
        return false;
    }
    for (const auto& m : d.GetObject()) {
        if (m.value.IsObject() && m.value.HasMember("count") && m.value["count"].IsInt() &&
            m.value["count"].GetInt() > (1 << 16)) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    fuzz::NoUnit unit;
    trn::SettingsModel model(unit);
    model.loadCatalogueJson(kCatalogue);
    model.importJson(text);
    model.exportJson(false);
    if (!hasHugeSetting(text) && model.loadCatalogueJson(text)) {
        model.exportJsonFull();
    }
    return 0;
}
