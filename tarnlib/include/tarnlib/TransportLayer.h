#pragma once

#include <cstdint>
#include <vector>

namespace trn {

// The most a frame carries (its length field has 16 bits): the whole value image comes in one.
constexpr uint32_t kMaxFramePayload = 0xFFFF;

// The link to a unit as the settings model sees it; the model never sees USB.
class TransportLayer {
  public:
    virtual ~TransportLayer() = default;

    // The unit's settings catalogue (CBOR), already inflated when the unit compresses it.
    virtual std::vector<uint8_t> readCatalogue() = 0;
    // `length` bytes of the unit's value image from `offset`, as the unit answers them.
    virtual std::vector<uint8_t> readData(uint16_t offset, uint16_t length) = 0;
    // Sends a payload of write records.
    virtual void writeData(const std::vector<uint8_t>& data) = 0;
    // Makes the unit store its settings in flash memory; failures are thrown.
    virtual bool commit() = 0;
    // Closes any open connection and opens the unit anew; the result of the port reset.
    virtual int reconnect() = 0;
};

}  // namespace trn
