#include <gtest/gtest.h>
#include <zlib.h>

#include <stdexcept>
#include <string>
#include <system_error>

#include "ScriptedUnit.h"
#include "UsbTransportV2.h"
#include "sim/Bus.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Path = std::vector<uint8_t>;
using Packet = ScriptedUnit::Packet;

constexpr uint8_t kCommit = 7;
constexpr uint8_t kCatalogue = 9;
constexpr uint8_t kReadData = 10;
constexpr uint8_t kWriteData = 11;

Bytes pattern(size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    return data;
}

std::vector<Packet> answer(const Bytes& payload, bool zlp = true) {
    return ScriptedUnit::packets(ScriptedUnit::frame(payload), zlp);
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

class UsbTransport : public ::testing::Test {
  protected:
    void SetUp() override { sim::Bus::instance().reset(); }
    void TearDown() override {
        transport.reset();
        sim::Bus::instance().reset();
    }

    static std::shared_ptr<ScriptedUnit> plug(const Path& port, uint16_t bcd = 0x0250,
                                              std::optional<std::string> name = "Unit") {
        auto unit = std::make_shared<ScriptedUnit>(bcd, std::move(name));
        sim::Bus::instance().attach(1, port, unit);
        return unit;
    }
    // A transport connected to a single scripted unit.
    void connect() {
        transport.reset();
        sim::Bus::instance().reset();
        unit = plug({1});
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
    EXPECT_EQ(unit->writes[1], ScriptedUnit::frame(pattern(300), 0xFFFF));
    EXPECT_EQ(unit->writes[2].size(), 65543u);
    // Each frame is announced with its length, which wraps at 16 bits for the largest one.
    const uint16_t announced[] = {8, 308, 7, 0};
    ASSERT_EQ(unit->controls.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(unit->controls[i].bmRequestType, 0x23);
        EXPECT_EQ(unit->controls[i].bRequest, i < 3 ? kWriteData : kCommit);
        EXPECT_EQ(unit->controls[i].wValue, announced[i]);
        EXPECT_EQ(unit->controls[i].wIndex, 0);
        EXPECT_EQ(unit->controls[i].wLength, 0);
    }

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
    struct Case {
        size_t payload;
        bool zlp;  // a time-out where the zero-length packet would be is accepted
    };
    for (const Case& c :
         {Case{56, true}, Case{56, false}, Case{120, true}, Case{121, true}, Case{65535, true}}) {
        SCOPED_TRACE(std::to_string(c.payload) + (c.zlp ? " zlp" : ""));
        connect();
        // Stale bytes of an earlier exchange are drained before the catalogue is asked for.
        unit->in.assign({{pattern(64)}, {pattern(20)}});
        const Bytes payload = pattern(c.payload);
        unit->replyTo(kCatalogue, answer(payload, c.zlp));
        EXPECT_EQ(transport->readCatalogue(), payload);
        std::vector<int> asked((c.payload + 8) / 64, 64);
        if ((c.payload + 8) % 64 != 0) {
            asked.push_back((c.payload + 8) % 64);
        }
        EXPECT_EQ(unit->packetReads, asked);
        EXPECT_TRUE(unit->in.empty());
    }
    // Any other failure where the zero-length packet would be is one.
    unit->replyTo(kCatalogue, {answer(pattern(56))[0], {{}, LIBUSB_ERROR_PIPE}});
    EXPECT_EQ(failure([&] { transport->readCatalogue(); }), "libusb -9");
}

TEST_F(UsbTransport, ReceiveFailures) {
    const Bytes frame = ScriptedUnit::frame(pattern(16));
    Bytes flipped = frame;
    flipped[9] ^= 0x10;
    Bytes announcesTen = pattern(64);
    announcesTen[0] = 10;
    announcesTen[1] = 0;
    const Bytes longFrame = ScriptedUnit::frame(pattern(100));
    const Bytes head(longFrame.begin(), longFrame.begin() + 64);
    const Bytes shortTail(longFrame.begin() + 64, longFrame.end() - 1);
    struct Case {
        std::vector<Packet> answer;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{{}, {frame}}, "no error"},
        {{{}, {}, {frame}}, "USB setting data receive: missing header"},
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
        unit->replyTo(kReadData, cases[i].answer);
        EXPECT_EQ(failure([&] { transport->readData(0, 16); }), cases[i].error);
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
    unit->replyTo(kReadData, answer({1, 2}));
    EXPECT_EQ(transport->readData(0x1234, 2), (Bytes{1, 2}));
    EXPECT_EQ(unit->controls.back().bRequest, kReadData);
    EXPECT_EQ(unit->controls.back().wIndex, 0x1234);
    EXPECT_EQ(unit->controls.back().wValue, 2);
    unit->controlResult = LIBUSB_ERROR_PIPE;
    EXPECT_EQ(failure([&] { transport->commit(); }), "libusb -9");

    trn::UsbTransportV2 unconnected;
    EXPECT_EQ(failure([&] { unconnected.readData(0, 8); }), "USB can't read data, not connected");
}

TEST_F(UsbTransport, UnitSelectionByPortAndName) {
    plug({5, 1});
    plug({4, 2});
    plug({6}, 0x0250, std::nullopt);
    plug({7}, 0x0250, "Mixer Pro");
    plug({8}, 0x0250, "mixer");
    plug({9}, 0x0250, "Mixer");
    struct Case {
        Path port;
        std::string name;
        std::string found;
    };
    for (const Case& c : {Case{{}, "", "USB:5.1"}, Case{{4}, "", "USB:4.2"},
                          Case{{4, 2, 1}, "", "Failed to find device"}, Case{{}, "Mixer", "USB:9"},
                          Case{{}, "Mix", "Failed to find device"}}) {
        SCOPED_TRACE(c.name);
        trn::UsbTransportV2 transport;
        transport.setPortFilter(c.port);
        transport.setNameFilter(c.name);
        const std::string error = failure([&] { transport.reconnect(); });
        EXPECT_EQ(error == "no error" ? trn::portPathText(transport.portNumbers()) : error,
                  c.found);
    }
    EXPECT_EQ(trn::portPathText({1}), "USB:1");
    EXPECT_EQ(trn::portPathText({}), "USB");
}

TEST_F(UsbTransport, OpenFailureEndsTheSearch) {
    plug({1})->openResult = LIBUSB_ERROR_ACCESS;
    auto later = plug({2});
    trn::UsbTransportV2 transport;
    EXPECT_EQ(failure([&] { transport.reconnect(); }), "libusb -3");
    EXPECT_EQ(later->opens, 0);
    EXPECT_TRUE(transport.portNumbers().empty());
}

TEST_F(UsbTransport, ReleaseRangeAndCompressedCatalogue) {
    struct Case {
        uint16_t bcd;
        bool found;
        bool compressed;
    };
    const Case cases[] = {{0x020F, false, false}, {0x0210, true, false}, {0x02FF, true, false},
                          {0x0300, true, true},   {0x03FF, true, true},  {0x0400, false, false}};
    std::vector<std::shared_ptr<ScriptedUnit>> units;
    for (uint8_t port = 1; port <= 6; ++port) {
        units.push_back(plug({port}, cases[port - 1].bcd));
    }
    auto otherProduct = std::make_shared<ScriptedUnit>();
    otherProduct->descriptor.idProduct = 0x0002;
    sim::Bus::instance().attach(1, {7}, otherProduct);

    // Listing ignores the filters.
    trn::UsbTransportV2 listing;
    listing.setPortFilter({9});
    listing.setNameFilter("nobody");
    EXPECT_EQ(listing.listDevices(), (std::vector<Path>{{2}, {3}, {4}, {5}}));

    const Bytes plain = pattern(3000);
    Bytes packed(compressBound(3000) + 4);
    uLongf size = static_cast<uLongf>(packed.size() - 4);
    ASSERT_EQ(compress(packed.data() + 4, &size, plain.data(), 3000), Z_OK);
    packed.resize(size + 4);
    for (uint8_t port = 1; port <= 7; ++port) {
        SCOPED_TRACE(port);
        trn::UsbTransportV2 transport;
        transport.setPortFilter({port});
        if (port == 7 || !cases[port - 1].found) {
            EXPECT_EQ(failure([&] { transport.reconnect(); }), "Failed to find device");
            continue;
        }
        transport.reconnect();
        units[port - 1]->replyTo(kCatalogue, answer(packed));
        EXPECT_EQ(transport.readCatalogue(), cases[port - 1].compressed ? plain : packed);
    }
}

}  // namespace
