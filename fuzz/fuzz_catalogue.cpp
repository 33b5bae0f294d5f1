// A unit's catalogue and value image as the settings model loads them: the layout it accepts,
// the export and import of the values, and the backup file name made from the unit's texts.
//
// Input: the catalogue's length (2 bytes, little-endian), the catalogue (CBOR), then the bytes
// the unit's value image repeats.
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "SettingsFile.h"
#include "tarnlib/SettingsModel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const size_t length = std::min<size_t>(data[0] | data[1] << 8, size - 2);
    const std::vector<uint8_t> catalogue(data + 2, data + 2 + length);
    fuzz::FakeUnit unit(std::vector<uint8_t>(data + 2 + length, data + size));
    trn::SettingsModel model(unit);
    if (!model.loadCatalogue(catalogue)) {
        return 0;
    }
    fuzz::checkLayout(model);
    if (!model.readValues(false)) {
        std::abort();  // the unit gave every byte asked for
    }
    fuzz::checkRoundTrip(model);
    model.readValues(true);

    // The texts of a unit lead nowhere but to one file in the working directory.
    const QString name = unitflash::backupFileName(model);
    if (name.contains('/') || name.contains('\\') || !name.endsWith(".json")) {
        std::abort();
    }

    model.setValue("a", 1.5, 0);
    model.setText("a", "fuzz");
    model.writeChanged();
    model.loadCatalogueJson(model.exportJsonFull());
    return 0;
}
