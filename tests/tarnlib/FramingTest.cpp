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

// A transport connected to one scripted unit at port 1.
class Framing : public ::testing::Test {
  protected:
    void SetUp() override { connect(0x0250); }
    void TearDown() override {
        transport.reset();
        sim::Bus::instance().reset();
    }

    void connect(uint16_t bcd) {
        transport.reset();
        sim::Bus::instance().reset();
        unit = plugUnit({1}, std::make_shared<ScriptedUnit>(bcd));
        transport = std::make_unique<trn::UsbTransportV2>();
        transport->reconnect();
    }

    // The lengths the transport asked for in bulk IN transfers with the 200 ms time-out.
    std::vector<int> packetReads() const {
        std::vector<int> lengths;
        for (const auto& read : unit->reads) {
            if (read.timeoutMs == 200) {
                lengths.push_back(read.length);
            }
        }
        return lengths;
    }
    int pendingReads() const {
        int count = 0;
        for (const auto& read : unit->reads) {
            count += read.timeoutMs == 1 ? 1 : 0;
        }
        return count;
    }

    // What readData throws for the given answer of the unit.
    std::string readDataFailure(std::vector<Packet> answer) {
        unit->in.clear();  // what an earlier failure left behind
        unit->replyTo(kReadData, std::move(answer));
        try {
            const Bytes data = transport->readData(0, 16);
            return "no error, " + std::to_string(data.size()) + " bytes";
        } catch (const std::system_error& error) {
            return "libusb " + std::to_string(error.code().value());
        } catch (const std::runtime_error& error) {
            return error.what();
        }
    }

    std::shared_ptr<ScriptedUnit> unit;
    std::unique_ptr<trn::UsbTransportV2> transport;
};

TEST_F(Framing, HostFramesAndTheirAnnouncements) {
    transport->writeData({});
    ASSERT_EQ(unit->writes.size(), 1u);
    EXPECT_EQ(unit->writes[0], (Bytes{0x00, 0x00, 0xFF, 0xFF, 0x7D, 0x64, 0x48, 0xFF}));

    const Bytes payload = pattern(300);
    transport->writeData(payload);
    EXPECT_EQ(unit->writes[1], ScriptedUnit::frame(payload, 0xFFFF));

    ASSERT_EQ(unit->controls.size(), 2u);
    for (const auto& setup : unit->controls) {
        EXPECT_EQ(setup.bmRequestType, 0x23);
        EXPECT_EQ(setup.bRequest, kWriteData);
        EXPECT_EQ(setup.wIndex, 0);
        EXPECT_EQ(setup.wLength, 0);
    }
    EXPECT_EQ(unit->controls[0].wValue, 8);
    EXPECT_EQ(unit->controls[1].wValue, 308);

    EXPECT_TRUE(transport->commit());
    EXPECT_EQ(unit->controls.back().bRequest, kCommit);
    EXPECT_EQ(unit->controls.back().wValue, 0);
}

TEST_F(Framing, PayloadSizeLimit) {
    // The largest frame goes out in one transfer; its announced length wraps at 16 bits.
    transport->writeData(pattern(65535));
    ASSERT_EQ(unit->writes.size(), 1u);
    EXPECT_EQ(unit->writes[0].size(), 65543u);
    EXPECT_EQ(unit->controls.back().wValue, 7);

    try {
        transport->writeData(pattern(65536));
        FAIL() << "over-long payload sent";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "USB payload size too big");
    }
    // Refused before anything reaches the unit.
    EXPECT_EQ(unit->controls.size(), 1u);
    EXPECT_EQ(unit->writes.size(), 1u);
}

TEST_F(Framing, SendFailures) {
    unit->outTransferred = 5;
    try {
        transport->writeData({1, 2, 3});
        FAIL() << "partial send accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "USB setting data transmit: invalid transfer (unknown size)");
    }
    unit->outTransferred = -1000;
    unit->outResult = LIBUSB_ERROR_PIPE;
    try {
        transport->writeData({1, 2, 3});
        FAIL() << "stall accepted";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), LIBUSB_ERROR_PIPE);
    }
    unit->controlResult = LIBUSB_ERROR_IO;
    EXPECT_THROW(transport->commit(), std::system_error);
}

TEST_F(Framing, ReadDataAsksByOffsetAndLength) {
    const Bytes image = pattern(40);
    unit->replyFrame(kReadData, image);
    EXPECT_EQ(transport->readData(0x1234, 40), image);
    ASSERT_EQ(unit->controls.size(), 1u);
    EXPECT_EQ(unit->controls[0].bmRequestType, 0x23);
    EXPECT_EQ(unit->controls[0].wIndex, 0x1234);
    EXPECT_EQ(unit->controls[0].wValue, 40);
    // No draining before and no zero-length read after.
    EXPECT_EQ(pendingReads(), 0);
}

TEST_F(Framing, PacketLoop) {
    struct Case {
        size_t payload;
        std::vector<int> asked;
        int pending;  // 1 ms reads: the drain, and the zero-length packet of whole packets
    };
    for (const Case& c :
         {Case{56, {64}, 2}, Case{120, {64, 64}, 2}, Case{121, {64, 64, 1}, 1}, Case{0, {64}, 1}}) {
        connect(0x0250);
        const Bytes payload = pattern(c.payload);
        unit->replyFrame(kCatalogue, payload);
        EXPECT_EQ(transport->readCatalogue(), payload) << c.payload;
        EXPECT_EQ(packetReads(), c.asked) << c.payload;
        EXPECT_EQ(pendingReads(), c.pending) << c.payload;
        EXPECT_TRUE(unit->in.empty()) << c.payload;
    }
}

TEST_F(Framing, LargestFrame) {
    const Bytes payload = pattern(65535);
    unit->replyFrame(kReadData, payload);
    EXPECT_EQ(transport->readData(0, 65535), payload);
    std::vector<int> asked(1025, 64);
    asked.back() = 7;
    EXPECT_EQ(packetReads(), asked);
}

TEST_F(Framing, CatalogueOfWholePacketsWithoutZeroLengthPacket) {
    // A time-out where the zero-length packet would be is accepted.
    const Bytes payload = pattern(56);
    unit->replyTo(kCatalogue, {{ScriptedUnit::frame(payload)}});
    EXPECT_EQ(transport->readCatalogue(), payload);

    unit->replyTo(kCatalogue, {{ScriptedUnit::frame(payload)}, {{}, LIBUSB_ERROR_PIPE}});
    EXPECT_THROW(transport->readCatalogue(), std::system_error);
}

TEST_F(Framing, CatalogueDrainsStaleBytesFirst) {
    const Bytes payload = pattern(10);
    unit->in.push_back({pattern(64)});
    unit->in.push_back({pattern(20)});
    unit->replyFrame(kCatalogue, payload);
    EXPECT_EQ(transport->readCatalogue(), payload);

    // readData does not drain: stale bytes are taken for the start of its answer.
    unit->in.push_back({pattern(20)});
    unit->replyFrame(kReadData, payload);
    EXPECT_THROW(transport->readData(0, 10), std::runtime_error);
}

TEST_F(Framing, DrainEndsForAUnitThatNeverStops) {
    unit->streaming = true;
    const Bytes payload = pattern(10);
    unit->replyFrame(kCatalogue, payload);
    EXPECT_EQ(transport->readCatalogue(), payload);
    EXPECT_LT(unit->reads.size(), 1100u);
}

TEST_F(Framing, DrainFailureIsThrown) {
    unit->in.push_back({{}, LIBUSB_ERROR_NO_DEVICE});
    try {
        transport->readCatalogue();
        FAIL() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), LIBUSB_ERROR_NO_DEVICE);
    }
    EXPECT_TRUE(unit->controls.empty());
}

TEST_F(Framing, ReceiveFailures) {
    const Bytes frame = ScriptedUnit::frame(pattern(16));
    Bytes flipped = frame;
    flipped[9] ^= 0x10;
    Bytes announcesTen = pattern(64);
    announcesTen[0] = 10;
    announcesTen[1] = 0;
    const Bytes long1 = ScriptedUnit::frame(pattern(100));
    const Bytes head(long1.begin(), long1.begin() + 64);
    const Bytes shortTail(long1.begin() + 64, long1.end() - 1);

    EXPECT_EQ(readDataFailure({{}, {frame}}), "no error, 16 bytes");
    EXPECT_EQ(readDataFailure({{}, {}, {frame}}), "USB setting data receive: missing header");
    EXPECT_EQ(readDataFailure({{{1, 0, 0}}}), "USB setting data receive: missing header");
    EXPECT_EQ(readDataFailure({{announcesTen}}), "USB setting data receive: data overrun");
    EXPECT_EQ(readDataFailure({{flipped}}),
              "USB setting data receive: invalid transfer (CRC error)");
    EXPECT_EQ(readDataFailure({{head}, {shortTail}}),
              "USB setting data receive: invalid transfer (unexpected size)");
    EXPECT_EQ(readDataFailure({{{}, LIBUSB_ERROR_OVERFLOW}}), "libusb -8");
    EXPECT_EQ(readDataFailure({}), "libusb -7");
    unit->controlResult = LIBUSB_ERROR_PIPE;
    EXPECT_EQ(readDataFailure({{frame}}), "libusb -9");
}

TEST_F(Framing, UsbFailuresCarryTheLibusbCategory) {
    std::error_code codes[2];
    for (std::error_code& code : codes) {
        try {
            transport->readData(0, 4);
            FAIL() << "no time-out";
        } catch (const std::system_error& error) {
            code = error.code();
            EXPECT_EQ(code.value(), -7);
            EXPECT_STREQ(code.category().name(), "libusb");
            EXPECT_EQ(std::string(error.what()).rfind("LIBUSB_ERROR_TIMEOUT: ", 0), 0u)
                << error.what();
        }
    }
    EXPECT_EQ(codes[0], codes[1]);
    // A failure leaves the link open.
    unit->replyFrame(kReadData, {1, 2});
    EXPECT_EQ(transport->readData(0, 2), (Bytes{1, 2}));
}

Bytes compressedCatalogue(const Bytes& plain) {
    Bytes stream(compressBound(static_cast<uLong>(plain.size())) + 4);
    uLongf size = static_cast<uLongf>(stream.size() - 4);
    EXPECT_EQ(compress(stream.data() + 4, &size, plain.data(), static_cast<uLong>(plain.size())),
              Z_OK);
    stream.resize(size + 4);
    return stream;
}

TEST_F(Framing, ReleaseDecidesWhetherTheCatalogueIsInflated) {
    const Bytes plain = pattern(3000);
    const Bytes packed = compressedCatalogue(plain);
    for (uint16_t bcd : {0x0210, 0x02FF}) {
        connect(bcd);
        unit->replyFrame(kCatalogue, packed);
        EXPECT_EQ(transport->readCatalogue(), packed) << std::hex << bcd;
    }
    for (uint16_t bcd : {0x0300, 0x03FF}) {
        connect(bcd);
        unit->replyFrame(kCatalogue, packed);
        EXPECT_EQ(transport->readCatalogue(), plain) << std::hex << bcd;
        unit->replyFrame(kCatalogue, {1, 2, 3, 4});
        try {
            transport->readCatalogue();
            FAIL() << "tiny catalogue inflated";
        } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), "Data size is to small (<= 4)");
        }
    }
}

}  // namespace
