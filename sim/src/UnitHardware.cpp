#include "sim/UnitHardware.h"

#include <algorithm>
#include <cstring>

#include "sim/DfuFileWriter.h"

namespace sim {
namespace {

constexpr char kSettingsMagic[4] = {'Q', 'S', 'E', 'T'};
constexpr size_t kVersionField = 32;
// Magic, image length, CRC, version text, then the image.
constexpr size_t kRecordHeader = 4 + 4 + 4 + kVersionField;

uint32_t getU32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void setU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

}  // namespace

std::string UnitHardware::firmwareVersion(uint32_t address) const {
    if (address < kFlashBase || address - kFlashBase >= flash.size()) {
        return {};
    }
    const auto start = flash.begin() + (address - kFlashBase);
    const char* marker = kVersionMarker;
    const size_t markerLength = std::strlen(marker);
    const auto codeEnd =
        start + std::min<size_t>(flash.end() - start, kSettingsAddress - kFlashBase);
    auto found = std::search(start, codeEnd, marker, marker + markerLength);
    if (found == codeEnd) {
        return {};
    }
    const auto text = found + markerLength;
    const auto nul = std::find(text, codeEnd, uint8_t{0});
    if (codeEnd - nul < 5) {
        return {};
    }
    const size_t length = getU32(&*(nul + 1));
    const size_t tagEnd = static_cast<size_t>(nul + 5 - start);
    if (length < tagEnd + 4 || length > static_cast<size_t>(flash.end() - start)) {
        return {};
    }
    const uint8_t* code = &*start;
    if (dfuFileCrc(code, length - 4) != getU32(code + length - 4)) {
        return {};
    }
    return std::string(text, nul);
}

std::vector<uint8_t> UnitHardware::savedSettingsRecord() const {
    const uint8_t* record = flash.data() + (kSettingsAddress - kFlashBase);
    if (std::memcmp(record, kSettingsMagic, 4) != 0) {
        return {};
    }
    const uint32_t length = getU32(record + 4);
    if (length > kSettingsSize - kRecordHeader) {
        return {};
    }
    if (dfuFileCrc(record + 12, kVersionField + length) != getU32(record + 8)) {
        return {};
    }
    return {record + kRecordHeader, record + kRecordHeader + length};
}

std::vector<uint8_t> UnitHardware::savedSettings(const std::string& version) const {
    const uint8_t* field = flash.data() + (kSettingsAddress - kFlashBase) + 12;
    const std::string writer(field, std::find(field, field + kVersionField, uint8_t{0}));
    if (writer != version) {
        return {};
    }
    return savedSettingsRecord();
}

void UnitHardware::saveSettings(const std::vector<uint8_t>& image, const std::string& version) {
    uint8_t* record = flash.data() + (kSettingsAddress - kFlashBase);
    std::fill(record, record + kSettingsSize, 0xFF);
    if (image.size() > kSettingsSize - kRecordHeader) {
        return;
    }
    std::memcpy(record, kSettingsMagic, 4);
    setU32(record + 4, static_cast<uint32_t>(image.size()));
    std::fill(record + 12, record + kRecordHeader, 0);
    std::memcpy(record + 12, version.data(), std::min(version.size(), kVersionField - 1));
    std::copy(image.begin(), image.end(), record + kRecordHeader);
    setU32(record + 8, dfuFileCrc(record + 12, kVersionField + image.size()));
}

}  // namespace sim
