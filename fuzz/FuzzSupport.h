#pragma once

#include <cstdint>
#include <vector>

#include "tarnlib/TransportLayer.h"

namespace fuzz {

// The model needs a transport to exist; the fuzzed operations never reach the unit.
class NoUnit : public trn::TransportLayer {
  public:
    std::vector<uint8_t> readCatalogue() override { return {}; }
    std::vector<uint8_t> readData(uint16_t, uint16_t length) override {
        return std::vector<uint8_t>(length, 0x5A);
    }
    void writeData(const std::vector<uint8_t>&) override {}
    bool commit() override { return true; }
    int reconnect() override { return 0; }
};

}  // namespace fuzz
