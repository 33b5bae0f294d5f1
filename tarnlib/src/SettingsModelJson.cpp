// The JSON forms of the model: the settings JSON text, its import, the full form and the
// catalogue built from a JSON description.
#include <cstdio>
#include <memory>
#include <vector>

#include <rapidjson/filereadstream.h>

#include "tarnlib/SettingsModel.h"

namespace trn {

namespace {

constexpr size_t kFileBufferSize = 65536;
// The iterative parser keeps deeply nested input from exhausting the stack.
constexpr unsigned kParseFlags = rapidjson::kParseNanAndInfFlag | rapidjson::kParseIterativeFlag;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

template <typename Writer>
void writeKey(Writer& writer, const std::string& name) {
    writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
}

}  // namespace

std::string SettingsModel::exportJson(bool validOnly) const {
    rapidjson::StringBuffer buffer;
    JsonStringWriter writer(buffer);
    writer.StartObject();
    for (const auto& s : settings_) {
        if (validOnly && !s->valid()) {
            continue;
        }
        writeKey(writer, s->name());
        s->writeJsonValue(writer);
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

bool SettingsModel::importJson(const std::string& text) {
    rapidjson::Document document;
    document.Parse<kParseFlags>(text.c_str());
    if (document.HasParseError()) {
        return false;
    }
    return applyJson(document);
}

bool SettingsModel::importJsonFile(const std::string& path) {
    importFailure_ = ImportOk;
    importEntries_ = 0;
    importApplied_ = 0;
    importElements_ = 0;
    rapidjson::Document document;
    {
        File file(std::fopen(path.c_str(), "rb"));
        if (!file) {
            importFailure_ = ImportFileNotOpened;
            return false;
        }
        std::vector<char> buffer(kFileBufferSize);
        rapidjson::FileReadStream stream(file.get(), buffer.data(), buffer.size());
        document.ParseStream<kParseFlags>(stream);
    }
    if (document.HasParseError()) {
        importFailure_ = ImportMalformedJson;
        return false;
    }
    return applyJson(document);
}

bool SettingsModel::applyJson(const rapidjson::Document& document) {
    if (!document.IsObject()) {
        importFailure_ = ImportNotAnObject;
        return false;
    }
    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
        ++importEntries_;
        const std::string name(member->name.GetString(), member->name.GetStringLength());
        const auto setting = find(name).lock();
        if (!setting) {
            continue;
        }
        const rapidjson::Value* value = &member->value;
        if (value->IsObject()) {
            const auto inner = value->FindMember("value");
            value = inner != value->MemberEnd() ? &inner->value : nullptr;
        }
        const int32_t taken = value ? setting->setJson(*value) : 0;
        // A setting without elements is exported as an empty array; taking that back is no
        // failure, or a file the tool wrote itself could not be restored.
        const bool emptyTakesEmpty = taken == 0 && setting->count() <= 0 &&
                                     setting->type() != static_cast<uint32_t>(SettingType::Text) &&
                                     value && value->IsArray() && value->Empty();
        if (taken == 0 && !emptyTakesEmpty) {
            importFailure_ = ImportValueRefused;
            return false;
        }
        ++importApplied_;
        importElements_ += taken;
    }
    return true;
}

void SettingsModel::importStatus(int32_t& failureCode, int32_t& entries, int32_t& applied,
                                 int32_t& elements) const {
    failureCode = importFailure_;
    entries = importEntries_;
    applied = importApplied_;
    elements = importElements_;
}

std::string SettingsModel::exportJsonFull() const {
    rapidjson::StringBuffer buffer;
    JsonStringWriter writer(buffer);
    writer.StartObject();
    for (const auto& s : settings_) {
        writeKey(writer, s->name());
        s->writeJsonEntry(writer);
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

bool SettingsModel::loadCatalogueJson(const std::string& text) {
    rapidjson::Document document;
    document.Parse<kParseFlags>(text.c_str());
    if (document.HasParseError() || !document.IsObject()) {
        return false;
    }
    std::vector<std::shared_ptr<Setting>> settings;
    try {
        settings.reserve(document.MemberCount());
        for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
            const std::string name(member->name.GetString(), member->name.GetStringLength());
            auto setting = std::make_shared<Setting>(name, member->value);
            if (setting->type() == static_cast<uint32_t>(SettingType::Invalid)) {
                return false;
            }
            settings.push_back(std::move(setting));
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    replaceSettings(std::move(settings));
    return true;
}

}  // namespace trn
