#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tarnlib/SettingsModel.h"
#include "tarnlib/TransportLayer.h"

namespace fuzz {

// A unit whose value image repeats the bytes it is given (zeros when there are none); what the
// model writes to it is only counted.
class FakeUnit : public trn::TransportLayer {
  public:
    explicit FakeUnit(std::vector<uint8_t> image = {}) : image_(std::move(image)) {}

    std::vector<uint8_t> readCatalogue() override { return {}; }
    std::vector<uint8_t> readData(uint16_t offset, uint16_t length) override {
        std::vector<uint8_t> slice(length, 0);
        for (size_t i = 0; i < slice.size() && !image_.empty(); ++i) {
            slice[i] = image_[(offset + i) % image_.size()];
        }
        return slice;
    }
    void writeData(const std::vector<uint8_t>& data) override {
        if (data.size() > trn::kMaxFramePayload) {
            std::abort();  // the model only writes what one frame carries
        }
    }
    bool commit() override { return true; }
    int reconnect() override { return 0; }

  private:
    std::vector<uint8_t> image_;
};

// Settings JSON the tool wrote is taken back unchanged: importing a model's own export is
// accepted, and exporting again gives the same text (a backup always restores).
inline void checkRoundTrip(trn::SettingsModel& model) {
    const std::string exported = model.exportJson(false);
    if (!model.importJson(exported) || model.exportJson(false) != exported) {
        std::abort();
    }
}

// Every setting of an accepted catalogue lies inside the value image, and the image covers it.
inline void checkLayout(const trn::SettingsModel& model) {
    for (const auto& s : model.settings()) {
        const int64_t end = int64_t{s->offset()} + int64_t{s->count()} * s->elementSize();
        if (s->offset() < 0 || end > int64_t{model.imageSize()}) {
            std::abort();
        }
    }
}

}  // namespace fuzz
