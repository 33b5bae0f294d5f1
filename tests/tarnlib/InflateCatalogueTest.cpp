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

// A deflate stream of `plain`; windowBits 15 gives a zlib header, 31 a gzip one.
Bytes deflated(const Bytes& plain, int windowBits, const Bytes& dictionary = {}) {
    z_stream stream{};
    EXPECT_EQ(
        deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY),
        Z_OK);
    if (!dictionary.empty()) {
        deflateSetDictionary(&stream, dictionary.data(), static_cast<uInt>(dictionary.size()));
    }
    Bytes out(deflateBound(&stream, static_cast<uLong>(plain.size())) + 64);
    stream.next_in = const_cast<Bytef*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// The catalogue payload of a compressing unit: 4 bytes the host skips, then the stream.
Bytes catalogue(const Bytes& stream) {
    Bytes payload(4 + stream.size(), 0xA5);
    std::copy(stream.begin(), stream.end(), payload.begin() + 4);
    return payload;
}

std::string logicErrorOf(const Bytes& payload) {
    try {
        inflateCatalogue(payload);
    } catch (const std::logic_error& error) {
        return error.what();
    }
    return "no error";
}

TEST(InflateCatalogue, ZlibAndGzipStreams) {
    for (size_t size : {0, 1, 1000, 1023, 1024, 1025, 5000, 40000}) {
        const Bytes plain = pattern(size);
        EXPECT_EQ(inflateCatalogue(catalogue(deflated(plain, 15))), plain) << size;
        EXPECT_EQ(inflateCatalogue(catalogue(deflated(plain, 31))), plain) << size;
    }
}

TEST(InflateCatalogue, BytesAfterTheStreamAreIgnored) {
    const Bytes plain = pattern(3000);
    Bytes payload = catalogue(deflated(plain, 15));
    payload.insert(payload.end(), {1, 2, 3, 4, 5});
    EXPECT_EQ(inflateCatalogue(payload), plain);
}

TEST(InflateCatalogue, TruncatedStreamGivesWhatWasProduced) {
    const Bytes plain = pattern(20000);
    for (int windowBits : {15, 31}) {
        const Bytes stream = deflated(plain, windowBits);
        for (size_t cut : {stream.size() / 4, stream.size() / 2, stream.size() - 1}) {
            const Bytes out =
                inflateCatalogue(catalogue(Bytes(stream.begin(), stream.begin() + cut)));
            ASSERT_LE(out.size(), plain.size());
            EXPECT_TRUE(std::equal(out.begin(), out.end(), plain.begin())) << cut;
        }
    }
}

TEST(InflateCatalogue, FourBytesOrFewerAreRefused) {
    for (size_t size = 0; size <= 4; ++size) {
        EXPECT_EQ(logicErrorOf(Bytes(size, 0x78)), "Data size is to small (<= 4)") << size;
    }
}

TEST(InflateCatalogue, CorruptAndDictionaryStreams) {
    EXPECT_EQ(logicErrorOf(catalogue({0x12, 0x34, 0x56, 0x78, 0x9A})), "Data error");
    Bytes stream = deflated(pattern(2000), 15);
    stream[stream.size() - 1] ^= 0xFF;  // adler-32 trailer
    EXPECT_EQ(logicErrorOf(catalogue(stream)), "Data error");
    const Bytes dictionary = pattern(300);
    EXPECT_EQ(logicErrorOf(catalogue(deflated(pattern(500), 15, dictionary))), "Dictionary needed");
}

}  // namespace
