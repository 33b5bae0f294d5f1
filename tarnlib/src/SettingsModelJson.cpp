// The JSON forms of the model: the settings JSON text, its import, the full form and the
// catalogue built from a JSON description.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include <rapidjson/error/en.h>
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

// Paths are UTF-8; Windows' narrow fopen would read them in the ANSI code page instead.
File openForReading(const std::string& utf8Path) {
#ifdef _WIN32
    return File(_wfopen(std::filesystem::u8path(utf8Path).c_str(), L"rb"));
#else
    return File(std::fopen(utf8Path.c_str(), "rb"));
#endif
}

std::string quoted(const std::string& name) {
    return '"' + name + '"';
}

// Where the parse stopped and what it expected there.
std::string parseFailure(const rapidjson::Document& document) {
    return std::string("the file is not valid JSON at offset ") +
           std::to_string(document.GetErrorOffset()) + ": " +
           rapidjson::GetParseError_En(document.GetParseError());
}

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
        report_ = {parseFailure(document), {}};
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
        const File file = openForReading(path);
        if (!file) {
            importFailure_ = ImportFileNotOpened;
            report_ = {"the file cannot be opened", {}};
            return false;
        }
        std::vector<char> buffer(kFileBufferSize);
        rapidjson::FileReadStream stream(file.get(), buffer.data(), buffer.size());
        document.ParseStream<kParseFlags>(stream);
    }
    if (document.HasParseError()) {
        importFailure_ = ImportMalformedJson;
        report_ = {parseFailure(document), {}};
        return false;
    }
    return applyJson(document, true);
}

bool SettingsModel::applyJson(const rapidjson::Document& document, bool allOrNothing) {
    report_ = {};
    if (!document.IsObject()) {
        importFailure_ = ImportNotAnObject;
        report_.refusal = "the file holds no JSON object";
        return false;
    }
    // Every member is first tried on a copy of its setting, so that a refused one leaves all
    // settings as they were.
    if (allOrNothing && !applyMembers(document, true, false)) {
        return false;
    }
    return applyMembers(document, false, !allOrNothing);
}

bool SettingsModel::applyMembers(const rapidjson::Document& document, bool dryRun, bool keepGoing) {
    bool accepted = true;
    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
        const std::string name(member->name.GetString(), member->name.GetStringLength());
        const auto found = find(name).lock();
        if (!dryRun) {
            ++importEntries_;
        }
        if (!found) {
            const auto matches = std::count_if(settings_.begin(), settings_.end(), [&](auto& s) {
                return s->name().find(name) != std::string::npos;
            });
            if (!dryRun) {
                report_.notes.push_back(
                    quoted(name) + " was skipped: " +
                    (matches > 1 ? "it names several settings" : "no setting has that name"));
            }
            continue;
        }
        const rapidjson::Value* value = &member->value;
        if (value->IsObject()) {
            const auto inner = value->FindMember("value");
            value = inner != value->MemberEnd() ? &inner->value : nullptr;
        }
        Setting copy(*found);
        Setting& setting = dryRun ? copy : *found;
        const int32_t taken = value ? setting.setJson(*value) : 0;
        // A setting without elements is exported as an empty array; taking that back is no
        // failure, or a file the tool wrote itself could not be restored.
        const bool emptyTakesEmpty = taken == 0 && setting.count() <= 0 &&
                                     setting.type() != static_cast<uint32_t>(SettingType::Text) &&
                                     value && value->IsArray() && value->Empty();
        if (taken == 0 && !emptyTakesEmpty) {
            importFailure_ = ImportValueRefused;
            if (report_.refusal.empty()) {
                report_.refusal =
                    quoted(name) + " was refused: " +
                    (value ? std::string("its value does not fit a setting of type ") +
                                 settingTypeName(setting.type())
                           : std::string("it has no value"));
            }
            accepted = false;
            if (!keepGoing) {
                return false;
            }
            continue;
        }
        if (!dryRun) {
            notePartialUse(name, setting, *value);
            ++importApplied_;
            importElements_ += taken;
        }
    }
    return accepted;
}

void SettingsModel::notePartialUse(const std::string& name, const Setting& setting,
                                   const rapidjson::Value& value) {
    if (setting.name() != name) {
        report_.notes.push_back(quoted(name) + " was applied to the setting " +
                                quoted(setting.name()));
    }
    const size_t room = setting.count() > 0 ? static_cast<size_t>(setting.count()) : 0;
    if (value.IsString()) {
        const size_t kept =
            Setting::textBytesKept(std::string(value.GetString(), value.GetStringLength()), room);
        if (kept == room && kept < value.GetStringLength()) {
            report_.notes.push_back(quoted(name) + " was cut to the setting's " +
                                    std::to_string(room) + " bytes");
        } else if (kept < value.GetStringLength()) {
            report_.notes.push_back(quoted(name) + " was cut to " + std::to_string(kept) +
                                    " bytes, the whole characters that fit the setting's " +
                                    std::to_string(room));
        }
        return;
    }
    if (value.IsArray() && value.Size() > room) {
        report_.notes.push_back(quoted(name) + " was cut to the setting's " + std::to_string(room) +
                                " elements");
    }
    noteChangedNumber(name, setting, value);
}

// The conversion a setting makes is its own (3.9 stores 3 in an Int32), but the user learns of a
// number that became another: the first such element of a member.
void SettingsModel::noteChangedNumber(const std::string& name, const Setting& setting,
                                      const rapidjson::Value& value) {
    const bool array = value.IsArray();
    const size_t elements =
        array ? std::min<size_t>(value.Size(), static_cast<size_t>(std::max(0, setting.count())))
              : 1;
    for (size_t i = 0; i < elements; ++i) {
        const rapidjson::Value& given = array ? value[static_cast<rapidjson::SizeType>(i)] : value;
        const double number = given.IsBool() ? (given.GetBool() ? 1.0 : 0.0) : given.GetDouble();
        const auto index = static_cast<int32_t>(i);
        if (!setting.holdsAsGiven(number, index)) {
            rapidjson::StringBuffer text;
            rapidjson::Writer<rapidjson::StringBuffer> writer(text);
            given.Accept(writer);
            report_.notes.push_back(quoted(name) + (array ? " element " + std::to_string(i) : "") +
                                    " was stored as " + setting.elementJson(index) + ", not the " +
                                    text.GetString() + " given");
            return;
        }
    }
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
