#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <system_error>

#include "ScriptedUnit.h"
#include "UsbTransportV2.h"
#include "sim/Bus.h"

namespace {

using Path = std::vector<uint8_t>;

class UsbTransport : public ::testing::Test {
  protected:
    void SetUp() override { sim::Bus::instance().reset(); }
    void TearDown() override { sim::Bus::instance().reset(); }

    // The text of the std::runtime_error (not a libusb failure) that `reconnect` throws.
    static std::string lookupFailure(trn::UsbTransportV2& transport) {
        try {
            transport.reconnect();
        } catch (const std::system_error& error) {
            return std::string("system_error: ") + error.what();
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "connected";
    }
};

std::shared_ptr<ScriptedUnit> unitWith(uint16_t bcd, std::optional<std::string> name = "Unit") {
    return std::make_shared<ScriptedUnit>(bcd, std::move(name));
}

TEST_F(UsbTransport, FirstUnitInBusOrderIsOpenedAndPrepared) {
    auto first = plugUnit({3, 1});
    auto second = plugUnit({1, 2});
    trn::UsbTransportV2 transport;
    EXPECT_EQ(transport.reconnect(), 0);
    EXPECT_EQ(transport.portNumbers(), (Path{3, 1}));
    EXPECT_EQ(first->configuration, 1);
    EXPECT_EQ(first->claims, 1);
    EXPECT_EQ(second->opens, 0);
}

TEST_F(UsbTransport, PortFilterIsAPrefixOfThePortPath) {
    plugUnit({5, 1});
    plugUnit({4, 2});
    trn::UsbTransportV2 transport;
    transport.setPortFilter({4});
    transport.reconnect();
    EXPECT_EQ(transport.portNumbers(), (Path{4, 2}));

    sim::Bus::instance().reset();
    plugUnit({4});
    trn::UsbTransportV2 deeper;
    deeper.setPortFilter({4, 2});
    EXPECT_EQ(lookupFailure(deeper), "Failed to find device");
    EXPECT_TRUE(deeper.portNumbers().empty());
}

TEST_F(UsbTransport, NameFilterWantsTheExactProductName) {
    auto unreadable = plugUnit({1}, unitWith(0x0250, std::nullopt));
    auto prefixed = plugUnit({2}, unitWith(0x0250, "Mixer Pro"));
    auto otherCase = plugUnit({3}, unitWith(0x0250, "mixer"));
    plugUnit({4}, unitWith(0x0250, "Mixer"));
    trn::UsbTransportV2 transport;
    transport.setNameFilter("Mixer");
    transport.reconnect();
    EXPECT_EQ(transport.portNumbers(), (Path{4}));
    // Units looked at and passed over are closed again.
    for (const auto& unit : {unreadable, prefixed, otherCase}) {
        EXPECT_EQ(unit->opens, 1);
        EXPECT_EQ(unit->closes, 1);
    }

    trn::UsbTransportV2 none;
    none.setNameFilter("Mix");
    EXPECT_EQ(lookupFailure(none), "Failed to find device");
}

TEST_F(UsbTransport, ReleaseRangeEdges) {
    plugUnit({1}, unitWith(0x020F));
    plugUnit({2}, unitWith(0x0210));
    plugUnit({3}, unitWith(0x02FF));
    plugUnit({4}, unitWith(0x0300));
    plugUnit({5}, unitWith(0x03FF));
    plugUnit({6}, unitWith(0x0400));
    auto otherProduct = unitWith(0x0250);
    otherProduct->descriptor.idProduct = 0x0002;
    plugUnit({7}, otherProduct);
    auto otherVendor = unitWith(0x0250);
    otherVendor->descriptor.idVendor = 0x6445;
    plugUnit({8}, otherVendor);

    trn::UsbTransportV2 transport;
    EXPECT_EQ(transport.listDevices(), (std::vector<Path>{{2}, {3}, {4}, {5}}));
    for (uint8_t port : {1, 6, 7, 8}) {
        trn::UsbTransportV2 filtered;
        filtered.setPortFilter({port});
        EXPECT_EQ(lookupFailure(filtered), "Failed to find device") << int(port);
    }
}

TEST_F(UsbTransport, ListingIgnoresFiltersAndOpensNothing) {
    auto a = plugUnit({4, 2});
    auto b = plugUnit({1, 3});
    trn::UsbTransportV2 transport;
    transport.setPortFilter({9});
    transport.setNameFilter("nobody");
    EXPECT_EQ(transport.listDevices(), (std::vector<Path>{{4, 2}, {1, 3}}));
    EXPECT_EQ(a->opens + b->opens, 0);
}

TEST_F(UsbTransport, ProductNameAtWantsTheExactPath) {
    plugUnit({4}, unitWith(0x0250, "Short"));
    plugUnit({4, 2}, unitWith(0x0250, "Deep"));
    auto unreadable = plugUnit({5}, unitWith(0x0250, std::nullopt));
    trn::UsbTransportV2 transport;
    EXPECT_EQ(transport.productNameAt({4, 2}), "Deep");
    EXPECT_EQ(transport.productNameAt({4}), "Short");
    EXPECT_EQ(transport.productNameAt({4, 2, 1}), "");
    EXPECT_THROW(transport.productNameAt({5}), std::system_error);
    EXPECT_EQ(unreadable->closes, unreadable->opens);
}

TEST_F(UsbTransport, OpenFailureEndsTheSearch) {
    auto denied = plugUnit({1});
    denied->openResult = LIBUSB_ERROR_ACCESS;
    auto later = plugUnit({2});
    trn::UsbTransportV2 transport;
    try {
        transport.reconnect();
        FAIL() << "connected";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), LIBUSB_ERROR_ACCESS);
    }
    EXPECT_EQ(later->opens, 0);
    EXPECT_TRUE(transport.portNumbers().empty());
}

TEST_F(UsbTransport, FailedPreparationLeavesNoConnection) {
    for (bool failConfiguration : {true, false}) {
        sim::Bus::instance().reset();
        auto unit = plugUnit({1});
        (failConfiguration ? unit->configurationResult : unit->claimResult) = LIBUSB_ERROR_BUSY;
        trn::UsbTransportV2 transport;
        try {
            transport.reconnect();
            FAIL() << "connected";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().value(), LIBUSB_ERROR_BUSY);
        }
        EXPECT_EQ(unit->closes, 1);
        EXPECT_TRUE(transport.portNumbers().empty());
        EXPECT_THROW(transport.readData(0, 4), std::runtime_error);
    }
}

TEST_F(UsbTransport, ReconnectReturnsTheResetResultAndKeepsTheLink) {
    auto unit = plugUnit({2, 1});
    unit->resetResult = LIBUSB_ERROR_NOT_FOUND;
    trn::UsbTransportV2 transport;
    EXPECT_EQ(transport.reconnect(), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(transport.portNumbers(), (Path{2, 1}));
    // A second reconnect first closes the link it has.
    transport.reconnect();
    EXPECT_EQ(unit->releases, 1);
    EXPECT_EQ(unit->closes, 1);
    EXPECT_EQ(unit->opens, 2);
}

TEST_F(UsbTransport, DestructionReleasesTheLink) {
    auto unit = plugUnit({1});
    {
        trn::UsbTransportV2 transport;
        transport.reconnect();
    }
    EXPECT_EQ(unit->releases, 1);
    EXPECT_EQ(unit->closes, 1);
}

TEST_F(UsbTransport, DataOperationsNeedAConnection) {
    auto unit = plugUnit({1});
    trn::UsbTransportV2 transport;
    try {
        transport.readData(0, 8);
        FAIL() << "read without connection";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "USB can't read data, not connected");
    }
    EXPECT_THROW(transport.readCatalogue(), std::runtime_error);
    EXPECT_THROW(transport.writeData({1}), std::runtime_error);
    EXPECT_THROW(transport.commit(), std::runtime_error);
    EXPECT_TRUE(unit->controls.empty());
    EXPECT_TRUE(unit->reads.empty());
    EXPECT_TRUE(unit->writes.empty());
}

TEST(PortPathText, Texts) {
    EXPECT_EQ(trn::portPathText({4, 2}), "USB:4.2");
    EXPECT_EQ(trn::portPathText({1}), "USB:1");
    EXPECT_EQ(trn::portPathText({255, 0, 7}), "USB:255.0.7");
    EXPECT_EQ(trn::portPathText({}), "USB");
}

}  // namespace
