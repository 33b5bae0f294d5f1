// Loads arbitrary bytes as a catalogue, then reads values and exports it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "cn-cbor/CborDecoder.h"
#include "tarnlib/SettingsModel.h"

namespace {

// Settings of gigabytes are legal up to the 32-bit limit but only exhaust the fuzzer's memory.
bool hasHugeSetting(const std::vector<uint8_t>& input) {
    trn::CborNode* root = trn::cborDecode(input.data(), input.size(), nullptr);
    bool huge = false;
    if (root != nullptr && root->type == trn::CborType::Map) {
        for (const trn::CborNode* key = root->firstChild; key != nullptr && key->next != nullptr;
             key = key->next->next) {
            if (key->next->type != trn::CborType::Map) {
                continue;
            }
            const trn::CborNode* count = trn::cborMapGetName(key->next, "count");
            if (count != nullptr && static_cast<int32_t>(count->value.uint) > (1 << 16)) {
                huge = true;
            }
        }
    }
    trn::cborFree(root);
    return huge;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> input(data, data + size);
    if (hasHugeSetting(input)) {
        return 0;
    }
    fuzz::NoUnit unit;
    trn::SettingsModel model(unit);
    if (!model.loadCatalogue(input)) {
        return 0;
    }
    model.readValues(false);
    model.readValues(true);
    model.find("a");
    model.setValue("a", 1.5, 0);
    model.setText("a", "fuzz");
    const std::string json = model.exportJson(false);
    model.importJson(json);
    model.loadCatalogueJson(model.exportJsonFull());
    model.writeChanged();
    return 0;
}
