#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <rapidjson/document.h>

#include "tarnlib/Setting.h"
#include "tarnlib/TransportLayer.h"

namespace trn {

// The settings of one unit behind one transport: the catalogue, the values, typed access by
// name and the JSON forms. Throws nothing of its own; transport exceptions other than the
// failures of connecting and of reading the catalogue pass through.
class SettingsModel {
  public:
    // Import failure codes, kept in the import status (there is no code 4).
    enum ImportError : int32_t {
        ImportOk = 0,
        ImportFileNotOpened = 1,
        ImportMalformedJson = 2,
        ImportNotAnObject = 3,
        ImportValueRefused = 5,
    };

    // The transport is used, not owned, and must outlive the model.
    explicit SettingsModel(TransportLayer& transport);

    // Catalogue (CBOR); false leaves the model as it was. A setting outside the value image
    // refuses the whole catalogue.
    bool loadCatalogue(const std::vector<uint8_t>& cbor);
    void updateLayout();
    // The single setting answering to a name (exact, or a part of exactly one name).
    std::weak_ptr<Setting> find(const std::string& name);

    const std::vector<std::shared_ptr<Setting>>& settings() const { return settings_; }
    uint16_t minOffset() const { return minOffset_; }
    uint16_t imageSize() const { return imageSize_; }

    // Values.
    bool load();
    // Why the last load that failed did so: the link's error text, or what could not be
    // decoded and why; empty before any failure.
    const std::string& lastLoadFailure() const { return loadFailure_; }
    bool readValues(bool fromMinOffset);
    double value(const std::string& name, int32_t index, double fallback);
    bool setValue(const std::string& name, double value, int32_t index);
    std::string valueText(const std::string& name, const std::string& fallback);
    bool setText(const std::string& name, const std::string& text);
    void writeChanged();

    // What the last import refused and what it did on the way that the user should know.
    struct ImportReport {
        std::string refusal;             // the first refused member and why; empty when none
        std::vector<std::string> notes;  // members skipped, matched partly, cut or converted
    };

    // Settings JSON text.
    std::string exportJson(bool validOnly) const;
    // Applies every member it can, skipping refused ones (a restore takes what it can get);
    // false when one was refused or the text is no JSON object.
    bool importJson(const std::string& text);
    // Applies the file (a UTF-8 path) only when every member is accepted; otherwise no setting
    // changes.
    bool importJsonFile(const std::string& path);
    bool applyJson(const rapidjson::Document& document, bool allOrNothing = false);
    const ImportReport& importReport() const { return report_; }
    void importStatus(int32_t& failureCode, int32_t& entries, int32_t& applied,
                      int32_t& elements) const;

    // Full JSON form and JSON catalogue description.
    std::string exportJsonFull() const;
    bool loadCatalogueJson(const std::string& text);

  private:
    // One pass of applyJson: with `dryRun` on copies of the settings, to check them.
    bool applyMembers(const rapidjson::Document& document, bool dryRun, bool keepGoing);
    void notePartialUse(const std::string& name, const Setting& setting,
                        const rapidjson::Value& value);
    void noteChangedNumber(const std::string& name, const Setting& setting,
                           const rapidjson::Value& value);
    void replaceSettings(std::vector<std::shared_ptr<Setting>> settings);
    // loadCatalogue, saying why when it refuses the catalogue.
    bool decodeCatalogue(const std::vector<uint8_t>& cbor, std::string& cause);

    std::vector<std::shared_ptr<Setting>> settings_;
    uint16_t minOffset_ = 0;
    uint16_t imageSize_ = 0;
    TransportLayer* transport_;
    std::unordered_map<std::string, std::weak_ptr<Setting>> nameCache_;
    int32_t importEntries_ = 0;
    int32_t importApplied_ = 0;
    int32_t importElements_ = 0;
    int32_t importFailure_ = ImportOk;
    std::string loadFailure_;
    ImportReport report_;
};

}  // namespace trn
