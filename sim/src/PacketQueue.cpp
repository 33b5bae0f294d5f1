#include "PacketQueue.h"

#include <algorithm>

namespace sim {

void PacketQueue::pushFrame(const std::vector<uint8_t>& frame) {
    for (size_t pos = 0; pos < frame.size(); pos += kPacketSize) {
        size_t end = std::min(frame.size(), pos + kPacketSize);
        packets_.emplace_back(frame.begin() + pos, frame.begin() + end);
    }
    if (frame.size() % kPacketSize == 0) {
        packets_.emplace_back();
    }
}

int PacketQueue::read(uint8_t* data, int length, int* transferred) {
    size_t moved = 0;
    size_t room = static_cast<size_t>(std::max(length, 0));
    *transferred = 0;
    for (;;) {
        if (packets_.empty()) {
            *transferred = static_cast<int>(moved);
            return LIBUSB_ERROR_TIMEOUT;
        }
        std::vector<uint8_t> packet = std::move(packets_.front());
        packets_.pop_front();
        size_t fits = std::min(packet.size(), room - moved);
        std::copy_n(packet.begin(), fits, data + moved);
        moved += fits;
        *transferred = static_cast<int>(moved);
        if (fits < packet.size()) {
            return LIBUSB_ERROR_OVERFLOW;
        }
        if (packet.size() < kPacketSize || moved == room) {
            return LIBUSB_SUCCESS;
        }
    }
}

}  // namespace sim
