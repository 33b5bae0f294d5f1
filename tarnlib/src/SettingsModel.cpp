#include "tarnlib/SettingsModel.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "cn-cbor/CborDecoder.h"

namespace trn {

namespace {

struct CborTreeDeleter {
    void operator()(CborNode* root) const { cborFree(root); }
};

// A key's bytes, cut at the first NUL; a chunked string is joined from its chunks. Keys of
// other kinds give an empty name.
std::string keyName(const CborNode* key) {
    std::string name;
    if (key->type == CborType::Bytes || key->type == CborType::Text) {
        name.assign(reinterpret_cast<const char*>(key->value.str),
                    static_cast<size_t>(key->length));
    } else if (key->type == CborType::BytesChunked || key->type == CborType::TextChunked) {
        for (const CborNode* chunk = key->firstChild; chunk != nullptr; chunk = chunk->next) {
            name.append(reinterpret_cast<const char*>(chunk->value.str),
                        static_cast<size_t>(chunk->length));
        }
    }
    const size_t nul = name.find('\0');
    if (nul != std::string::npos) {
        name.resize(nul);
    }
    return name;
}

// An integer property's 32 bits; items of other kinds count as absent.
bool intProperty(const CborNode* props, const char* key, int32_t& out) {
    const CborNode* node = cborMapGetName(props, key);
    if (node == nullptr || (node->type != CborType::Uint && node->type != CborType::Int)) {
        return false;
    }
    out = static_cast<int32_t>(node->value.uint);
    return true;
}

constexpr uint32_t kReadonlyBit = 0x80;
// Settings may describe the same bytes more than once, but together they never need more than
// this; a catalogue asking for more would only exhaust the host.
constexpr int64_t kMaxSettingBytes = int64_t{16} << 20;

// What a catalogue entry says of its setting; a property that is absent keeps its default.
struct EntryProperties {
    int32_t offset = -1;
    int32_t count = 1;
    uint32_t type = static_cast<uint32_t>(SettingType::Invalid);
    bool readonly = true;
    bool isConst = false;
};

EntryProperties entryProperties(const CborNode* props) {
    EntryProperties entry;
    if (props->type != CborType::Map) {
        return entry;
    }
    intProperty(props, "offset", entry.offset);
    intProperty(props, "count", entry.count);
    int32_t rawType = 0;
    if (intProperty(props, "type", rawType)) {
        const uint32_t bits = static_cast<uint32_t>(rawType);
        entry.readonly = (bits & kReadonlyBit) != 0;
        entry.type = normalizeSettingType(bits & ~kReadonlyBit);
    }
    const CborNode* c = cborMapGetString(props, "const");
    entry.isConst = c != nullptr && c->type == CborType::True;
    return entry;
}

const char kCatalogueUndecodable[] = "the unit's settings catalogue cannot be decoded: ";

}  // namespace

SettingsModel::SettingsModel(TransportLayer& transport) : transport_(&transport) {
    nameCache_.max_load_factor(1.0f);
}

bool SettingsModel::loadCatalogue(const std::vector<uint8_t>& cbor) {
    std::string cause;
    return decodeCatalogue(cbor, cause);
}

bool SettingsModel::decodeCatalogue(const std::vector<uint8_t>& cbor, std::string& cause) {
    CborErrorInfo error{};
    std::unique_ptr<CborNode, CborTreeDeleter> root(cborDecode(cbor.data(), cbor.size(), &error));
    if (root == nullptr) {
        cause = std::string("CBOR ") + kCborErrorNames[static_cast<int>(error.err)] + " at byte " +
                std::to_string(error.pos);
        return false;
    }
    if (root->type != CborType::Map) {
        cause = "it is no CBOR map";
        return false;
    }
    std::vector<std::shared_ptr<Setting>> settings;
    int64_t bytes = 0;
    try {
        settings.reserve(static_cast<size_t>(root->length / 2));
        for (const CborNode* key = root->firstChild; key != nullptr && key->next != nullptr;
             key = key->next->next) {
            const EntryProperties entry = entryProperties(key->next);
            const std::string name = keyName(key);
            // Checked before anything is allocated for the setting: the unit could not serve
            // its bytes, and its count may ask for gigabytes.
            if (!Setting::fitsValueImage(entry.type, entry.count, entry.offset)) {
                cause = "the setting \"" + name + "\" lies outside the value image of " +
                        std::to_string(kMaxFramePayload) + " bytes";
                return false;
            }
            bytes += int64_t{entry.count} << (entry.type & 3u);
            if (bytes > kMaxSettingBytes) {
                cause = "its settings hold more than " + std::to_string(kMaxSettingBytes) +
                        " bytes together";
                return false;
            }
            settings.push_back(std::make_shared<Setting>(
                name, entry.type, entry.count, entry.offset, entry.readonly, entry.isConst));
        }
    } catch (const std::bad_alloc&) {
        cause = "the host has no memory for it";
        return false;
    }
    replaceSettings(std::move(settings));
    return true;
}

void SettingsModel::replaceSettings(std::vector<std::shared_ptr<Setting>> settings) {
    settings_ = std::move(settings);
    nameCache_.clear();
    updateLayout();
}

void SettingsModel::updateLayout() {
    uint16_t minOffset = 0xFFFF;
    int64_t end = 0;
    for (const auto& s : settings_) {
        const uint16_t o = static_cast<uint16_t>(static_cast<uint32_t>(s->offset()) & 0xFFFF);
        const int64_t e = int64_t{s->elementSize()} * s->count() + o;
        end = std::max(end, e);
        if (!s->isConst() && o < minOffset) {
            minOffset = o;
        }
    }
    minOffset_ = minOffset;
    imageSize_ = static_cast<uint16_t>(static_cast<uint64_t>(end) & 0xFFFF);
}

std::weak_ptr<Setting> SettingsModel::find(const std::string& name) {
    const auto cached = nameCache_.find(name);
    if (cached != nameCache_.end()) {
        return cached->second;
    }
    std::shared_ptr<Setting> candidate;
    bool exact = false;
    int partial = 0;
    for (const auto& s : settings_) {
        const size_t pos = s->name().find(name);
        if (pos == std::string::npos) {
            continue;
        }
        if (pos == 0 && s->name().size() == name.size()) {
            if (exact) {
                return {};  // two settings of that name: ambiguous, not cached
            }
            candidate = s;
            exact = true;
        } else if (!exact) {
            candidate = s;
            ++partial;
        }
    }
    if (!exact && partial > 1) {
        return {};
    }
    nameCache_[name] = candidate;
    return candidate;
}

bool SettingsModel::load() {
    std::vector<uint8_t> catalogue;
    try {
        transport_->reconnect();
        catalogue = transport_->readCatalogue();
    } catch (const std::runtime_error& e) {
        loadFailure_ = e.what();
        return false;
    } catch (const std::logic_error& e) {
        // The link throws these only when a compressed catalogue does not inflate.
        loadFailure_ = kCatalogueUndecodable + std::string(e.what());
        return false;
    }
    std::string cause = "the unit sent none";
    if (catalogue.empty() || !decodeCatalogue(catalogue, cause)) {
        loadFailure_ = kCatalogueUndecodable + cause;
        return false;
    }
    for (const auto& s : settings_) {
        s->setChanged(false);
    }
    if (!readValues(false)) {
        loadFailure_ = "the unit's setting values cannot be decoded: they are not the " +
                       std::to_string(imageSize_) + " bytes its catalogue describes";
        return false;
    }
    for (const auto& s : settings_) {
        s->setValid(true);
    }
    return true;
}

bool SettingsModel::readValues(bool fromMinOffset) {
    uint16_t start = 0;
    uint16_t length = imageSize_;
    if (fromMinOffset) {
        start = minOffset_;
        length = static_cast<uint16_t>(imageSize_ - minOffset_);
    }
    const std::vector<uint8_t> image = transport_->readData(start, length);
    if (image.size() != length) {
        return false;
    }
    for (const auto& s : settings_) {
        if (!s->changed() && s->applyImage(start, image)) {
            s->setValid(true);
        }
    }
    return true;
}

double SettingsModel::value(const std::string& name, int32_t index, double fallback) {
    const auto s = find(name).lock();
    return s ? s->value(index) : fallback;
}

bool SettingsModel::setValue(const std::string& name, double value, int32_t index) {
    const auto s = find(name).lock();
    if (!s) {
        return false;
    }
    s->setValue(value, index);
    return true;
}

std::string SettingsModel::valueText(const std::string& name, const std::string& fallback) {
    const auto s = find(name).lock();
    return s ? s->text() : fallback;
}

bool SettingsModel::setText(const std::string& name, const std::string& text) {
    const auto s = find(name).lock();
    if (!s) {
        return false;
    }
    s->setText(text);
    return true;
}

void SettingsModel::writeChanged() {
    std::vector<uint8_t> payload;
    for (const auto& s : settings_) {
        if (!s->changed()) {
            continue;
        }
        const uint32_t offset = static_cast<uint32_t>(s->offset());
        const size_t length = s->data().size();
        payload.push_back(static_cast<uint8_t>(offset & 0xFF));
        payload.push_back(static_cast<uint8_t>((offset >> 8) & 0xFF));
        payload.push_back(static_cast<uint8_t>(length & 0xFF));
        payload.push_back(static_cast<uint8_t>((length >> 8) & 0xFF));
        payload.insert(payload.end(), s->data().begin(), s->data().end());
        s->setChanged(false);
    }
    if (!payload.empty()) {
        transport_->writeData(payload);
    }
}

}  // namespace trn
