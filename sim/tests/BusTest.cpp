#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/Platform.h"
#include "sim/Bus.h"
#include "sim/VirtualClock.h"

namespace {

// A small device: one interface with a class-specific descriptor (a DFU functional
// descriptor) and two alternate settings, the second with bulk endpoints.
class SmallDevice : public sim::VirtualDevice {
  public:
    int openResult = LIBUSB_SUCCESS;
    bool leaveOnReset = false;

    libusb_device_descriptor deviceDescriptor() const override {
        libusb_device_descriptor d{};
        d.bLength = 18;
        d.bDescriptorType = LIBUSB_DT_DEVICE;
        d.bcdUSB = 0x0200;
        d.bMaxPacketSize0 = 64;
        d.idVendor = 0x1234;
        d.idProduct = 0x5678;
        d.bcdDevice = 0x0102;
        d.iProduct = 2;
        d.bNumConfigurations = 1;
        return d;
    }
    std::vector<uint8_t> configDescriptor() const override {
        return {9, 2,    50,   0,    1,    1,    0,    0x80, 50,    // configuration
                9, 4,    0,    0,    0,    0xFE, 1,    2,    0,     // interface 0 alt 0
                9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x08, 0x1A, 0x01,  // DFU functional
                9, 4,    0,    1,    2,    0xFF, 0,    0,    0,     // interface 0 alt 1
                7, 5,    0x81, 2,    64,   0,    0,                 // bulk IN
                7, 5,    0x02, 2,    64,   0,    0};                // bulk OUT
    }
    std::optional<std::string> stringDescriptor(uint8_t index) const override {
        if (index == 2) {
            return std::string("Small \xE9");
        }
        return std::nullopt;
    }
    int open() override { return openResult; }
    int reset() override {
        if (leaveOnReset) {
            bus()->reenumerate(*this, std::make_shared<SmallDevice>(), 10);
        }
        return LIBUSB_SUCCESS;
    }
    int control(const sim::ControlSetup& setup, uint8_t* data, unsigned) override {
        if (setup.bRequest == 0x44) {  // busy a while, then gives up
            bus()->spendUs(30000);
            return LIBUSB_ERROR_TIMEOUT;
        }
        if (setup.bRequest == 0x42 && setup.deviceToHost()) {
            std::memset(data, 0xAB, setup.wLength);
            return setup.wLength;
        }
        return LIBUSB_ERROR_PIPE;
    }
};

class BusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Bus::instance().reset();
        device = std::make_shared<SmallDevice>();
        sim::Bus::instance().attach(3, {4, 2}, device);
        ASSERT_EQ(libusb_init(&context), LIBUSB_SUCCESS);
    }
    void TearDown() override {
        if (handle) {
            libusb_close(handle);
        }
        libusb_exit(context);
        sim::Bus::instance().reset();
    }
    libusb_device* firstDevice() {
        libusb_device** list = nullptr;
        EXPECT_EQ(libusb_get_device_list(context, &list), 1);
        libusb_device* d = list[0] ? libusb_ref_device(list[0]) : nullptr;
        libusb_free_device_list(list, 1);
        return d;
    }

    std::shared_ptr<SmallDevice> device;
    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
};

TEST_F(BusTest, ListsTheDeviceWithItsPlaceAndDescriptor) {
    libusb_device* d = firstDevice();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(libusb_get_bus_number(d), 3);
    uint8_t ports[7];
    ASSERT_EQ(libusb_get_port_numbers(d, ports, 7), 2);
    EXPECT_EQ(ports[0], 4);
    EXPECT_EQ(ports[1], 2);
    EXPECT_EQ(libusb_get_port_numbers(d, ports, 1), LIBUSB_ERROR_OVERFLOW);
    EXPECT_NE(libusb_get_device_address(d), 0);
    libusb_device_descriptor descriptor{};
    ASSERT_EQ(libusb_get_device_descriptor(d, &descriptor), LIBUSB_SUCCESS);
    EXPECT_EQ(descriptor.idVendor, 0x1234);
    EXPECT_EQ(descriptor.bcdDevice, 0x0102);
    // The same device object comes back while it is referenced.
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(context, &list), 1);
    EXPECT_EQ(list[0], d);
    EXPECT_EQ(list[1], nullptr);
    libusb_free_device_list(list, 1);
    libusb_unref_device(d);
}

TEST_F(BusTest, ParsesTheConfigurationWithClassSpecificExtraBytes) {
    libusb_device* d = firstDevice();
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(d, &config), LIBUSB_SUCCESS);
    EXPECT_EQ(config->bConfigurationValue, 1);
    EXPECT_EQ(config->wTotalLength, 50);
    ASSERT_EQ(config->bNumInterfaces, 1);
    ASSERT_EQ(config->interface[0].num_altsetting, 2);
    const libusb_interface_descriptor& alt0 = config->interface[0].altsetting[0];
    EXPECT_EQ(alt0.bInterfaceClass, 0xFE);
    EXPECT_EQ(alt0.bNumEndpoints, 0);
    ASSERT_EQ(alt0.extra_length, 9);
    EXPECT_EQ(alt0.extra[1], 0x21);
    EXPECT_EQ(alt0.extra[5] | (alt0.extra[6] << 8), 0x0800);  // wTransferSize
    const libusb_interface_descriptor& alt1 = config->interface[0].altsetting[1];
    EXPECT_EQ(alt1.bAlternateSetting, 1);
    EXPECT_EQ(alt1.extra_length, 0);
    ASSERT_EQ(alt1.bNumEndpoints, 2);
    EXPECT_EQ(alt1.endpoint[0].bEndpointAddress, 0x81);
    EXPECT_EQ(alt1.endpoint[1].wMaxPacketSize, 64);
    libusb_free_config_descriptor(config);
    EXPECT_EQ(libusb_get_config_descriptor_by_value(d, 2, &config), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_get_config_descriptor(d, 1, &config), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_get_max_packet_size(d, 0x02), 64);
    libusb_unref_device(d);
}

TEST_F(BusTest, StringsAndControlRequests) {
    handle = libusb_open_device_with_vid_pid(context, 0x1234, 0x5678);
    ASSERT_NE(handle, nullptr);
    unsigned char text[64];
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handle, 2, text, sizeof text), 7);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "Small ?");
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handle, 2, text, 4), 3);  // room for NUL
    EXPECT_STREQ(reinterpret_cast<char*>(text), "Sma");
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handle, 5, text, sizeof text), LIBUSB_ERROR_PIPE);
    unsigned char raw[8] = {};
    EXPECT_EQ(libusb_get_descriptor(handle, LIBUSB_DT_DEVICE, 0, raw, sizeof raw), 8);
    EXPECT_EQ(raw[7], 64);
    EXPECT_EQ(libusb_control_transfer(handle, 0xC0, 0x42, 0, 0, raw, 3, 100), 3);
    EXPECT_EQ(raw[2], 0xAB);
    EXPECT_EQ(libusb_control_transfer(handle, 0x40, 0x43, 0, 0, nullptr, 0, 100),
              LIBUSB_ERROR_PIPE);
    int configuration = 0;
    EXPECT_EQ(libusb_set_configuration(handle, 1), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_get_configuration(handle, &configuration), LIBUSB_SUCCESS);
    EXPECT_EQ(configuration, 1);
    EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_set_configuration(handle, 1), LIBUSB_ERROR_BUSY);
    // Another handle (another usbfs file) gets the interface only once it is released.
    libusb_device_handle* other = libusb_open_device_with_vid_pid(context, 0x1234, 0x5678);
    EXPECT_EQ(libusb_claim_interface(other, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_set_configuration(other, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_release_interface(handle, 0), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_release_interface(handle, 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_claim_interface(other, 0), LIBUSB_SUCCESS);
    libusb_close(other);
    EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_SUCCESS);
}

TEST_F(BusTest, AHandleOfAnUnpluggedDeviceAnswersNoDevice) {
    handle = libusb_open_device_with_vid_pid(context, 0x1234, 0x5678);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(sim::Bus::instance().unplug(3, {4, 2}), device);
    unsigned char data[4];
    int transferred = -1;
    EXPECT_EQ(libusb_control_transfer(handle, 0xC0, 0x42, 0, 0, data, 3, 100),
              LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, data, 4, &transferred, 100),
              LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(transferred, 0);
    EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_ERROR_NO_DEVICE);
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(context, &list), 0);
    libusb_free_device_list(list, 1);

    // Plugged back it is a new device at a new address; the old handle stays dead.
    ASSERT_TRUE(sim::Bus::instance().replug(3, {4, 2}));
    libusb_device* d = firstDevice();
    EXPECT_NE(libusb_get_device_address(d), libusb_get_device_address(libusb_get_device(handle)));
    EXPECT_EQ(libusb_reset_device(handle), LIBUSB_ERROR_NO_DEVICE);
    libusb_unref_device(d);
}

TEST_F(BusTest, ResetOfADeviceThatReenumeratesAnswersNotFound) {
    device->leaveOnReset = true;
    handle = libusb_open_device_with_vid_pid(context, 0x1234, 0x5678);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(libusb_reset_device(handle), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_TRUE(sim::Bus::instance().empty());
    // The replacement appears once its delay has passed on the virtual clock.
    uint64_t before = sim::Bus::instance().nowUs();
    sim::Bus::instance().spendUs(10000);
    EXPECT_EQ(sim::Bus::instance().nowUs(), before + 10000);
    EXPECT_NE(sim::Bus::instance().deviceAt(3, {4, 2}), nullptr);
    EXPECT_NE(sim::Bus::instance().deviceAt(3, {4, 2}), device);
}

TEST_F(BusTest, OpenCanBeRefused) {
    device->openResult = LIBUSB_ERROR_ACCESS;
    libusb_device* d = firstDevice();
    EXPECT_EQ(libusb_open(d, &handle), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(libusb_open_device_with_vid_pid(context, 0x1234, 0x5678), nullptr);
    libusb_unref_device(d);
}

TEST_F(BusTest, TransfersCostBusTime) {
    handle = libusb_open_device_with_vid_pid(context, 0x1234, 0x5678);
    ASSERT_NE(handle, nullptr);
    unsigned char data[64];
    uint64_t before = sim::Bus::instance().nowUs();
    ASSERT_EQ(libusb_control_transfer(handle, 0xC0, 0x42, 0, 0, data, 64, 100), 64);
    EXPECT_EQ(sim::Bus::instance().nowUs() - before, sim::Bus::controlCostUs(64));
    // Whole 1 ms frames, the current one first, 13 control packets of 64 bytes a frame.
    const struct {
        uint64_t startUs;
        size_t bytes;
        unsigned packetsPerFrame;
        uint64_t endUs;
    } frames[] = {{0, 0, 13, 1000},   {400, 64, 13, 1000}, {1999, 832, 13, 2000},
                  {0, 833, 13, 2000}, {0, 2048, 13, 3000}, {500, 2048, 13, 3000},
                  {0, 2048, 4, 8000}};
    for (const auto& f : frames) {
        sim::Bus::setModel({f.packetsPerFrame, 17});
        EXPECT_EQ(sim::Bus::transferEndUs(f.startUs, f.bytes, true), f.endUs) << f.bytes;
    }
    sim::Bus::setModel({});
    // A time-out lasts the time-out, whether the device or the bus spent it.
    before = sim::Bus::instance().nowUs();
    EXPECT_EQ(libusb_control_transfer(handle, 0x40, 0x44, 0, 0, nullptr, 0, 100),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(sim::Bus::instance().nowUs() - before, 100000u);
    int transferred = -1;
    before = sim::Bus::instance().nowUs();
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, data, 64, &transferred, 70), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(transferred, 0);
    EXPECT_EQ(sim::Bus::instance().nowUs() - before, sim::Bus::bulkCostUs(0));
}

// A worker busy on the bus while the main thread polls every 100 ms: the same virtual times on
// every run, however the threads are scheduled.
TEST_F(BusTest, AWorkerTransfersWhileTheMainThreadPolls) {
    handle = libusb_open_device_with_vid_pid(context, 0x1234, 0x5678);
    ASSERT_NE(handle, nullptr);
    for (int run = 0; run < 5; ++run) {
        sim::VirtualClock::reset();
        std::atomic<bool> done{false};
        std::atomic<uint64_t> workerEndUs{0};
        std::thread worker = platform::startWorker([&] {
            unsigned char data[64];
            // 950 ms of transfers: the end falls between two polls, never on one.
            for (int i = 0; i < 950; ++i) {
                libusb_control_transfer(handle, 0xC0, 0x42, 0, 0, data, 64, 100);
            }
            workerEndUs = sim::VirtualClock::nowUs();
            done = true;
        });
        int polls = 0;
        while (!done) {
            platform::sleepMs(100);
            ++polls;
        }
        platform::joinWorker(worker);
        EXPECT_EQ(workerEndUs.load(), 950 * sim::Bus::controlCostUs(64));
        EXPECT_EQ(polls, 10);
        EXPECT_EQ(platform::monotonicMs(), 1000u);
    }
}

TEST(LibusbInit, DefaultContextIsCounted) {
    sim::Bus::instance().reset();
    sim::Bus::instance().attach(1, {1}, std::make_shared<SmallDevice>());
    ASSERT_EQ(libusb_init(nullptr), LIBUSB_SUCCESS);
    ASSERT_EQ(libusb_init(nullptr), LIBUSB_SUCCESS);
    libusb_exit(nullptr);
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_free_device_list(list, 1);
    libusb_exit(nullptr);
    sim::Bus::instance().reset();
}

}  // namespace
