#pragma once

#include <libusb.h>

#include <cstdint>
#include <deque>
#include <vector>

namespace sim {

// The packets a device has ready on a bulk IN endpoint. A host read takes packets until its
// buffer is full or a short packet (a zero-length one included) ends the transfer, as on a
// real bus.
class PacketQueue {
  public:
    static constexpr size_t kPacketSize = 64;

    // Splits a frame into packets; one that fills its last packet exactly is followed by a
    // zero-length packet.
    void pushFrame(const std::vector<uint8_t>& frame);
    void pushPacket(std::vector<uint8_t> packet) { packets_.push_back(std::move(packet)); }
    void clear() { packets_.clear(); }
    bool empty() const { return packets_.empty(); }

    // One host read of up to `length` bytes: LIBUSB_SUCCESS, LIBUSB_ERROR_TIMEOUT when the
    // packets ran out first (with the partial count), LIBUSB_ERROR_OVERFLOW when a packet did
    // not fit.
    int read(uint8_t* data, int length, int* transferred);

  private:
    std::deque<std::vector<uint8_t>> packets_;
};

}  // namespace sim
