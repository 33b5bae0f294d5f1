#include <gtest/gtest.h>
#include <libusb.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "Checksum.h"
#include "InflateCatalogue.h"
#include "sim/Bus.h"
#include "sim/SimulatedBootloader.h"
#include "sim/SimulatedUnit.h"
#include "tarnlib/UsbTransportV2.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Path = std::vector<uint8_t>;
enum Request : uint8_t { kCommit = 7, kCatalogue = 9, kReadData = 10, kWriteData = 11 };

// One answer to a bulk IN transfer.
struct Packet {
    Bytes data;
    int result = LIBUSB_SUCCESS;
};

// A unit whose every answer the test sets, and which records what the host asked of it: the
// transport's framing and error paths are driven through the real libusb calls. It keeps the
// identity of a simulated unit of a release that sends its catalogue plain.
class ScriptedUnit : public sim::SimulatedUnit {
  public:
    ScriptedUnit() : SimulatedUnit(std::make_shared<sim::UnitHardware>(), plainRelease()) {}
    static sim::UnitOptions plainRelease() {
        sim::UnitOptions options;
        options.bcdDevice = 0x0250;
        return options;
    }
    // Queues the answer set for the request.
    int control(const sim::ControlSetup& setup, uint8_t*, unsigned) override {
        controls.push_back(setup);
        const std::vector<Packet>& reply = replies[setup.bRequest];
        in.insert(in.end(), reply.begin(), reply.end());
        return 0;
    }
    int bulk(uint8_t endpoint, uint8_t* data, int length, int* transferred,
             unsigned timeoutMs) override {
        if ((endpoint & LIBUSB_ENDPOINT_IN) == 0) {
            writes.emplace_back(data, data + length);
            *transferred = outTransferred < 0 ? length : outTransferred;
            return outResult;
        }
        if (timeoutMs == 200) {
            packetReads.push_back(length);
        }
        *transferred = 0;
        if (in.empty()) {
            return LIBUSB_ERROR_TIMEOUT;
        }
        const Packet packet = in.front();
        in.pop_front();
        *transferred = std::min(static_cast<int>(packet.data.size()), length);
        std::copy_n(packet.data.begin(), *transferred, data);
        return packet.result;
    }

    int outResult = LIBUSB_SUCCESS;
    int outTransferred = -1;  // below 0: all of it
    std::map<uint8_t, std::vector<Packet>> replies;
    std::deque<Packet> in;
    std::vector<sim::ControlSetup> controls;
    std::vector<int> packetReads;  // lengths asked for with the 200 ms packet time-out
    std::vector<Bytes> writes;
};

Bytes pattern(size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    return data;
}

// A frame as a unit sends it.
Bytes frame(const Bytes& payload, uint16_t kind = 0x0102) {
    std::array<uint32_t, 256> table{};
    trn::crc32InitTable(table.data(), 256);
    const size_t n = payload.size();
    Bytes bytes;
    bytes.reserve(n + 8);  // gcc 12 warns of a bound it gets wrong when insert has to grow it
    for (const unsigned value : {n, n >> 8, size_t{kind}, size_t{kind} >> 8}) {
        bytes.push_back(static_cast<uint8_t>(value));
    }
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    const uint32_t crc = trn::crc32Frame(table.data(), bytes.data(), static_cast<unsigned>(n + 4));
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    }
    return bytes;
}

// The packets of a frame as they leave the IN endpoint, with the zero-length packet that ends a
// transfer of whole packets unless `zlp` is false.
std::vector<Packet> answer(const Bytes& payload, bool zlp = true) {
    const Bytes bytes = frame(payload);
    std::vector<Packet> packets;
    for (size_t at = 0; at < bytes.size(); at += 64) {
        packets.push_back(
            {Bytes(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + 64))});
    }
    if (zlp && bytes.size() % 64 == 0) {
        packets.push_back({});
    }
    return packets;
}

// "libusb <code>" for a USB failure of `operation`, else the text of what it throws.
template <typename Operation>
std::string failure(Operation operation) {
    try {
        operation();
    } catch (const std::system_error& error) {
        return "libusb " + std::to_string(error.code().value());
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

// The frame checksum: CRC-32 over little-endian words, the last one zero-extended.
TEST(Checksum, WorkedValuesAndZeroExtendedTail) {
    std::array<uint32_t, 256> table{};
    ASSERT_TRUE(trn::crc32InitTable(table.data(), 256));
    struct Case {
        std::string data;
        uint32_t crc;
    };
    for (const Case& c : {Case{"", 0xFFFFFFFF}, Case{"abc", 0xE1208697}, Case{"abcd", 0xA62F1C36},
                          Case{"123456789", 0xAFF19057}, Case{{"\0\0\xFF\xFF", 4}, 0xFF48647D},
                          Case{"a", 0x6F60065B}, Case{{"a\0\0\0", 4}, 0x6F60065B}}) {
        SCOPED_TRACE(c.data);
        EXPECT_EQ(trn::crc32Frame(table.data(), reinterpret_cast<const uint8_t*>(c.data.data()),
                                  static_cast<unsigned>(c.data.size())),
                  c.crc);
    }
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
        EXPECT_EQ(failure([&] { inflateCatalogue(Bytes(size, 0x78)); }),
                  "Data size is to small (<= 4)")
            << size;
    }
    EXPECT_EQ(failure([] {
                  inflateCatalogue({0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0x9A});
              }),
              "Data error");
    Bytes badTrailer = catalogue(pattern(2000), 15);
    badTrailer.back() ^= 0xFF;
    EXPECT_EQ(failure([&] { inflateCatalogue(badTrailer); }), "Data error");
    // Inflation stops at the size the unit announces before the stream, and at a megabyte.
    const auto bounded = [](size_t size, uint32_t announced) {
        Bytes stream = catalogue(Bytes(size, 0x11), 15);
        std::memcpy(stream.data(), &announced, 4);  // little-endian, as the host
        return failure([&] { inflateCatalogue(stream); });
    };
    EXPECT_EQ(bounded(2000, 2000), "no error");
    EXPECT_EQ(bounded(2001, 2000), "the catalogue inflates to more than 2000 bytes");
    EXPECT_EQ(bounded((1 << 20) + 1, 0), "the catalogue inflates to more than 1048576 bytes");
}

class UsbTransport : public ::testing::Test {
  protected:
    void SetUp() override { sim::Bus::instance().reset(); }
    void TearDown() override {
        transport.reset();
        sim::Bus::instance().reset();
    }

    static void plugUnit(const Path& port, uint16_t release = 0x0300, std::string name = "Unit",
                         bool locked = false) {
        sim::UnitOptions options;
        options.bcdDevice = release;
        options.product = std::move(name);
        options.faults.denyOpen = locked;
        sim::Bus::instance().attach(
            1, port,
            std::make_shared<sim::SimulatedUnit>(std::make_shared<sim::UnitHardware>(), options));
    }
    // A transport connected to a single scripted unit.
    void connect() {
        transport.reset();
        sim::Bus::instance().reset();
        unit = std::make_shared<ScriptedUnit>();
        sim::Bus::instance().attach(1, {1}, unit);
        transport = std::make_unique<trn::UsbTransportV2>();
        transport->reconnect();
    }

    std::shared_ptr<ScriptedUnit> unit;
    std::unique_ptr<trn::UsbTransportV2> transport;
};

TEST_F(UsbTransport, HostFramesAndTheirAnnouncements) {
    connect();
    transport->writeData({});
    transport->writeData(pattern(300));
    transport->writeData(pattern(65535));
    EXPECT_EQ(failure([&] { transport->writeData(pattern(65536)); }), "USB payload size too big");
    EXPECT_TRUE(transport->commit());
    ASSERT_EQ(unit->writes.size(), 3u);  // the over-long payload never reached the unit
    EXPECT_EQ(unit->writes[0], (Bytes{0x00, 0x00, 0xFF, 0xFF, 0x7D, 0x64, 0x48, 0xFF}));
    EXPECT_EQ(unit->writes[1], frame(pattern(300), 0xFFFF));
    EXPECT_EQ(unit->writes[2].size(), 65543u);
    // Each frame is announced with its length, which wraps at 16 bits for the largest one.
    std::vector<std::array<int, 5>> requests;
    for (const sim::ControlSetup& c : unit->controls) {
        requests.push_back({c.bmRequestType, c.bRequest, c.wValue, c.wIndex, c.wLength});
    }
    EXPECT_EQ(requests, (std::vector<std::array<int, 5>>{{0x23, kWriteData, 8, 0, 0},
                                                         {0x23, kWriteData, 308, 0, 0},
                                                         {0x23, kWriteData, 7, 0, 0},
                                                         {0x23, kCommit, 0, 0, 0}}));

    unit->outTransferred = 5;
    EXPECT_EQ(failure([&] {
                  transport->writeData({1, 2, 3});
              }),
              "USB setting data transmit: invalid transfer (unknown size)");
    unit->outTransferred = -1;
    unit->outResult = LIBUSB_ERROR_PIPE;
    EXPECT_EQ(failure([&] { transport->writeData({1, 2, 3}); }), "libusb -9");
}

TEST_F(UsbTransport, PacketLoop) {
    // Whole packets end with a zero-length packet, or a time-out in its place.
    for (const auto& c : std::vector<std::pair<size_t, bool>>{
             {56, true}, {56, false}, {120, true}, {121, true}, {65535, true}}) {
        const size_t size = c.first + 8;
        SCOPED_TRACE(size);
        connect();
        // Stale bytes of an earlier exchange are drained before the catalogue is asked for.
        unit->in.assign({{pattern(64)}, {pattern(20)}});
        unit->replies[kCatalogue] = answer(pattern(c.first), c.second);
        EXPECT_EQ(transport->readCatalogue(), pattern(c.first));
        std::vector<int> asked(size / 64, 64);
        if (size % 64 != 0) {
            asked.push_back(size % 64);
        }
        EXPECT_EQ(unit->packetReads, asked);
        EXPECT_TRUE(unit->in.empty());
    }
    // Any other failure where the zero-length packet would be is one.
    unit->replies[kCatalogue] = {answer(pattern(56))[0], Packet{{}, LIBUSB_ERROR_PIPE}};
    EXPECT_EQ(failure([&] { transport->readCatalogue(); }), "libusb -9");
}

TEST_F(UsbTransport, ReceiveFailures) {
    const Bytes good = frame(pattern(16));
    Bytes flipped = good;
    flipped[9] ^= 0x10;
    Bytes announcesTen = pattern(64);
    announcesTen[0] = 10;
    announcesTen[1] = 0;
    const Bytes longFrame = frame(pattern(100));
    const Bytes head(longFrame.begin(), longFrame.begin() + 64);
    const Bytes shortTail(longFrame.begin() + 64, longFrame.end() - 1);
    const std::vector<std::pair<std::vector<Packet>, std::string>> cases = {
        {{{}, {good}}, "no error"},
        {{{}, {}, {good}}, "USB setting data receive: missing header"},
        {{{{1, 0, 0}}}, "USB setting data receive: missing header"},
        {{{announcesTen}}, "USB setting data receive: data overrun"},
        {{{flipped}}, "USB setting data receive: invalid transfer (CRC error)"},
        {{{head}, {shortTail}}, "USB setting data receive: invalid transfer (unexpected size)"},
        {{{{}, LIBUSB_ERROR_OVERFLOW}}, "libusb -8"},
        {{}, "libusb -7"},
    };
    connect();
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        unit->in.clear();  // what an earlier failure left behind
        unit->replies[kReadData] = cases[i].first;
        EXPECT_EQ(failure([&] { transport->readData(0, 16); }), cases[i].second);
    }

    try {
        transport->readData(0, 4);
        FAIL() << "no time-out";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), -7);
        EXPECT_STREQ(error.code().category().name(), "libusb");
        EXPECT_EQ(std::string(error.what()).rfind("LIBUSB_ERROR_TIMEOUT: ", 0), 0u) << error.what();
    }
    // A failure leaves the link open; the request names offset and length.
    unit->replies[kReadData] = answer({1, 2});
    EXPECT_EQ(transport->readData(0x1234, 2), (Bytes{1, 2}));
    const sim::ControlSetup& asked = unit->controls.back();
    EXPECT_EQ((std::array<int, 3>{asked.bRequest, asked.wIndex, asked.wValue}),
              (std::array<int, 3>{kReadData, 0x1234, 2}));

    trn::UsbTransportV2 unconnected;
    EXPECT_EQ(failure([&] { unconnected.readData(0, 8); }), "USB can't read data, not connected");
}

TEST_F(UsbTransport, UnitSelectionByPortAndName) {
    // The boot loader and the units of releases out of range are no units of ours; the last
    // release of the range is, behind two hubs.
    plugUnit({11, 3, 2}, 0x03FF);
    for (const Path& port : {Path{5, 1}, Path{4, 2}}) {
        plugUnit(port);
    }
    plugUnit({7}, 0x0300, "Mixer Pro");
    plugUnit({8}, 0x0300, "mixer");
    plugUnit({9}, 0x0300, "Mixer");
    plugUnit({2}, 0x0210);
    plugUnit({3}, 0x020F);
    plugUnit({6}, 0x0400);
    sim::Bus::instance().attach(
        1, {1}, std::make_shared<sim::SimulatedBootloader>(std::make_shared<sim::UnitHardware>()));
    struct Case {
        Path port;
        std::string name;
        std::string found;
    };
    for (const Case& c :
         {Case{{}, "", "1-2"}, Case{{4}, "", "1-4.2"}, Case{{2}, "", "1-2"},
          Case{{4, 2, 1}, "", "Failed to find device"}, Case{{}, "Mixer", "1-9"},
          Case{{}, "Mix", "Failed to find device"}, Case{{3}, "", "Failed to find device"},
          Case{{6}, "", "Failed to find device"}, Case{{11}, "", "1-11.3.2"}}) {
        SCOPED_TRACE(c.name);
        trn::UsbTransportV2 transport;
        transport.setPortFilter({0, c.port});
        transport.setNameFilter(c.name);
        const std::string error = failure([&] { transport.reconnect(); });
        EXPECT_EQ(error == "no error" ? transport.portNumbers().textWithBus() : error, c.found);
    }
    // Listing ignores the filters.
    trn::UsbTransportV2 listing;
    listing.setPortFilter({0, {9}});
    listing.setNameFilter("nobody");
    // Newest first, as libusb on Linux lists them.
    std::vector<Path> listed;
    for (const usb::PortPath& place : listing.listDevices()) {
        listed.push_back(place.ports);
    }
    EXPECT_EQ(listed, (std::vector<Path>{{2}, {9}, {8}, {7}, {4, 2}, {5, 1}, {11, 3, 2}}));

    // A unit that cannot be opened ends the search.
    plugUnit({10, 2});
    plugUnit({10, 1}, 0x0300, "Unit", true);
    trn::UsbTransportV2 transport;
    transport.setPortFilter({0, {10}});
    EXPECT_EQ(failure([&] { transport.reconnect(); }), "libusb -3");
    EXPECT_TRUE(transport.portNumbers().isAny());

    // A unit at a place the process may not use fails as busy, and the caller learns where.
    trn::UsbTransportV2::setPlaceCheck([](const usb::PortPath& p) { return p.ports != Path{9}; });
    trn::UsbTransportV2 second;
    second.setPortFilter({0, {9}});
    EXPECT_EQ(failure([&] { second.reconnect(); }), "libusb -6");
    EXPECT_EQ(second.lastOpenFailure().port.ports, Path{9});
    trn::UsbTransportV2::setPlaceCheck({});
}

}  // namespace
