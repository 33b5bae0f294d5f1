// Settings JSON imported into the simulated unit's catalogue as --import takes it (from a file,
// all or nothing) and as the restore after an update takes it (from text, what it can); then
// the same text as a JSON catalogue description.
//
// Input: the JSON text up to the first NUL byte; the bytes after it are repeated as the unit's
// value image.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "sim/UnitCatalogue.h"
#include "tarnlib/SettingsModel.h"

namespace {

// The file each input is written to, removed when the fuzzer ends.
struct TempFile {
    const std::string path = "/tmp/fuzz_import-" + std::to_string(getpid()) + ".json";
    ~TempFile() { std::remove(path.c_str()); }
};

const std::string& filePath() {
    static const TempFile file;
    return file.path;
}

void writeFile(const std::string& text) {
    std::FILE* file = std::fopen(filePath().c_str(), "wb");
    if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size() ||
        std::fclose(file) != 0) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> catalogue = sim::UnitCatalogue::standard().cbor();
    const uint8_t* nul = std::find(data, data + size, uint8_t{0});
    const std::string text(reinterpret_cast<const char*>(data), nul - data);
    const std::vector<uint8_t> image(nul == data + size ? nul : nul + 1, data + size);

    fuzz::FakeUnit unit(image);
    trn::SettingsModel model(unit);
    if (!model.loadCatalogue(catalogue) || !model.readValues(false)) {
        std::abort();
    }
    const std::string before = model.exportJson(false);
    writeFile(text);
    if (model.importJsonFile(filePath())) {
        fuzz::checkRoundTrip(model);
    } else if (model.exportJson(false) != before ||
               std::any_of(model.settings().begin(), model.settings().end(),
                           [](const auto& s) { return s->changed(); })) {
        std::abort();  // a refused file changes nothing
    }
    model.writeChanged();

    trn::SettingsModel restored(unit);
    restored.loadCatalogue(catalogue);
    restored.readValues(false);
    restored.importJson(text);
    fuzz::checkRoundTrip(restored);

    if (model.loadCatalogueJson(text)) {
        model.exportJsonFull();
    }
    return 0;
}
