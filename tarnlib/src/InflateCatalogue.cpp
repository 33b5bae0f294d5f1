#include "InflateCatalogue.h"

#include <zlib.h>

#include <limits>
#include <stdexcept>
#include <string>

namespace {

constexpr size_t kSkippedBytes = 4;
// A catalogue describes a value image of at most 64 KiB: a megabyte leaves it 16 bytes of
// description for each byte of value, and keeps a small stream from inflating without end.
constexpr size_t kMaxCatalogueSize = size_t{1} << 20;
constexpr size_t kOutputArea = 1024;
// A 32 KiB window; +32 lets zlib recognise a zlib or a gzip header by itself.
constexpr int kWindowBits = 15 + 32;

// Ends the stream on every way out, the throwing ones included.
class InflateStream {
  public:
    explicit InflateStream(z_stream& stream) : stream_(stream) {}
    ~InflateStream() { inflateEnd(&stream_); }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

  private:
    z_stream& stream_;
};

// The most the stream may inflate to: the inflated size the unit puts in the skipped bytes
// (little-endian), where it gives one that a catalogue can have.
size_t inflatedLimit(const std::vector<uint8_t>& data) {
    size_t announced = 0;
    for (size_t i = 0; i < kSkippedBytes; ++i) {
        announced |= size_t{data[i]} << (8 * i);
    }
    return announced != 0 && announced < kMaxCatalogueSize ? announced : kMaxCatalogueSize;
}

}  // namespace

std::vector<uint8_t> inflateCatalogue(const std::vector<uint8_t>& data) {
    if (data.size() <= kSkippedBytes) {
        throw std::logic_error("Data size is to small (<= 4)");
    }
    // A frame payload is at most 65535 bytes, far below what zlib's 32-bit counts can take.
    if (data.size() - kSkippedBytes > std::numeric_limits<uInt>::max()) {
        throw std::logic_error("Initialising inflation failed");
    }
    z_stream stream{};
    stream.next_in = const_cast<Bytef*>(data.data() + kSkippedBytes);
    stream.avail_in = static_cast<uInt>(data.size() - kSkippedBytes);
    if (inflateInit2(&stream, kWindowBits) != Z_OK) {
        throw std::logic_error("Initialising inflation failed");
    }
    const InflateStream guard(stream);

    const size_t limit = inflatedLimit(data);
    std::vector<uint8_t> output;
    output.reserve(data.size() * 2);
    uint8_t area[kOutputArea];
    while (true) {
        stream.next_out = area;
        stream.avail_out = kOutputArea;
        switch (inflate(&stream, Z_NO_FLUSH)) {
            case Z_STREAM_ERROR:
                throw std::logic_error("Z_STREAM_ERROR");
            case Z_MEM_ERROR:
                throw std::logic_error("Memory error");
            case Z_DATA_ERROR:
                throw std::logic_error("Data error");
            case Z_NEED_DICT:
                throw std::logic_error("Dictionary needed");
            default:
                break;
        }
        const size_t produced = kOutputArea - stream.avail_out;
        if (produced == 0) {
            break;
        }
        if (output.size() + produced > limit) {
            throw std::logic_error("the catalogue inflates to more than " + std::to_string(limit) +
                                   " bytes");
        }
        output.insert(output.end(), area, area + produced);
        if (stream.avail_out != 0) {
            break;
        }
    }
    return output;
}
