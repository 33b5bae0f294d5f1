// The JSON side of a setting: its value and entry as written to the settings JSON text, values
// taken from JSON, and settings built from a JSON description entry.
#include "tarnlib/Setting.h"

namespace trn {

namespace {

bool isInt32(const rapidjson::Value& object, const char* key) {
    const auto it = object.FindMember(key);
    return it != object.MemberEnd() && it->value.IsInt();
}

bool jsonNumber(const rapidjson::Value& v, double& out) {
    if (v.IsNumber()) {
        out = v.GetDouble();
        return true;
    }
    if (v.IsBool()) {
        out = v.GetBool() ? 1.0 : 0.0;
        return true;
    }
    return false;
}

}  // namespace

Setting::Setting(const std::string& name, const rapidjson::Value& description) {
    if (!description.IsObject()) {
        return;
    }
    const auto readonly = description.FindMember("readonly");
    if (readonly == description.MemberEnd() || !readonly->value.IsBool() ||
        !isInt32(description, "type") || !isInt32(description, "count") ||
        !isInt32(description, "offset")) {
        return;
    }
    const uint32_t type = normalizeSettingType(static_cast<uint32_t>(description["type"].GetInt()));
    const int32_t count = description["count"].GetInt();
    const int32_t offset = description["offset"].GetInt();
    if (!fitsValueImage(type, count, offset)) {
        return;  // stays invalid, so a catalogue holding it is refused
    }
    const auto isConst = description.FindMember("const");
    name_ = name;
    type_ = type;
    count_ = count;
    offset_ = offset;
    readonly_ = readonly->value.GetBool();
    isConst_ = isConst != description.MemberEnd() && isConst->value.IsTrue();
    data_.assign(static_cast<size_t>(count) * elementSize(), 0);

    const auto data = description.FindMember("data");
    if (data != description.MemberEnd()) {
        setJson(data->value);  // an unacceptable value leaves the bytes zero
    }
}

template <typename Writer>
void Setting::writeValue(Writer& writer) const {
    if (type_ == static_cast<uint32_t>(SettingType::Text)) {
        const std::string t = text();
        writer.String(t.data(), static_cast<rapidjson::SizeType>(t.size()));
        return;
    }
    // A count of 0 or less gives an empty array, so the member keeps a value.
    const bool array = count_ != 1;
    if (array) {
        writer.StartArray();
    }
    for (int32_t i = 0; i < count_; ++i) {
        writeElement(writer, i);
    }
    if (array) {
        writer.EndArray();
    }
}

template <typename Writer>
void Setting::writeElement(Writer& writer, int32_t index) const {
    switch (static_cast<SettingType>(type_)) {
        case SettingType::Bool:
            writer.Bool(value(index) != 0);
            break;
        case SettingType::Int32:
            writer.Int(static_cast<int>(value(index)));
            break;
        default:
            writer.Double(value(index));
            break;
    }
}

template <typename Writer>
void Setting::writeEntry(Writer& writer) const {
    writer.StartObject();
    writer.Key("type");
    writer.Uint(type_);
    writer.Key("count");
    writer.Int(count_);
    writer.Key("offset");
    writer.Int(offset_);
    writer.Key("readonly");
    writer.Bool(readonly_);
    writer.Key("value");
    writeValue(writer);
    writer.EndObject();
}

void Setting::writeJsonValue(JsonStringWriter& writer) const {
    writeValue(writer);
}
void Setting::writeJsonEntry(JsonStringWriter& writer) const {
    writeEntry(writer);
}

std::string Setting::valueJson() const {
    rapidjson::StringBuffer buffer;
    JsonStringWriter writer(buffer);
    writeValue(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string Setting::elementJson(int32_t index) const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writeElement(writer, index);
    return std::string(buffer.GetString(), buffer.GetSize());
}

int32_t Setting::setJson(const rapidjson::Value& value) {
    // Only a string fits a text: numbers would land in its first bytes as characters.
    if (value.IsString() != (type_ == static_cast<uint32_t>(SettingType::Text))) {
        return 0;
    }
    if (value.IsString()) {
        setText(std::string(value.GetString(), value.GetStringLength()));
        return 1;
    }
    double number;
    if (jsonNumber(value, number)) {
        setValue(number, 0);
        return 1;
    }
    if (value.IsArray()) {
        int32_t stored = 0;
        for (rapidjson::SizeType i = 0; i < value.Size() && static_cast<int64_t>(i) < count_; ++i) {
            if (!jsonNumber(value[i], number)) {
                return 0;
            }
            setValue(number, static_cast<int32_t>(i));
            ++stored;
        }
        return stored;
    }
    return 0;
}

}  // namespace trn
