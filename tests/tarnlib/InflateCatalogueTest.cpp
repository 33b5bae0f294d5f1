#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "InflateCatalogue.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>((i * 7 + i / 13) & 0xFF);
    }
    return data;
}

// The catalogue payload of a compressing unit: 4 bytes the host skips, then a deflate stream
// of `plain`; windowBits 15 gives a zlib header, 31 a gzip one.
Bytes catalogue(const Bytes& plain, int windowBits) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&stream, static_cast<uLong>(plain.size())) + 4, 0xA5);
    stream.next_in = const_cast<Bytef*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = out.data() + 4;
    stream.avail_out = static_cast<uInt>(out.size() - 4);
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out + 4);
    deflateEnd(&stream);
    return out;
}

std::string logicErrorOf(const Bytes& payload) {
    try {
        inflateCatalogue(payload);
    } catch (const std::logic_error& error) {
        return error.what();
    }
    return "no error";
}

TEST(InflateCatalogue, ZlibAndGzipStreamsWholeOrTruncated) {
    for (int windowBits : {15, 31}) {
        for (size_t size : {0, 1023, 1024, 1025, 20000}) {
            SCOPED_TRACE(std::to_string(windowBits) + " " + std::to_string(size));
            const Bytes plain = pattern(size);
            const Bytes whole = catalogue(plain, windowBits);
            EXPECT_EQ(inflateCatalogue(whole), plain);
            // A cut stream gives what was produced up to the cut.
            const Bytes out =
                inflateCatalogue(Bytes(whole.begin(), whole.begin() + whole.size() / 2));
            EXPECT_LE(out.size(), plain.size());
            EXPECT_TRUE(std::equal(out.begin(), out.end(), plain.begin()));
        }
    }
}

TEST(InflateCatalogue, ErrorTexts) {
    for (size_t size = 0; size <= 4; ++size) {
        EXPECT_EQ(logicErrorOf(Bytes(size, 0x78)), "Data size is to small (<= 4)") << size;
    }
    EXPECT_EQ(logicErrorOf({0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0x9A}), "Data error");
    Bytes badTrailer = catalogue(pattern(2000), 15);
    badTrailer.back() ^= 0xFF;
    EXPECT_EQ(logicErrorOf(badTrailer), "Data error");
}

}  // namespace
