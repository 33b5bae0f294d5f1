#pragma once

// The simulator's drop-in libusb, loaded into the bridge by absolute path so that the program
// under the bridge keeps the system's libusb. Only the calls the bridge makes are looked up.

#include <libusb.h>

#include <cstdint>
#include <string>
#include <vector>

namespace usbfs {

// One device on the simulated bus, as the testbed mirrors it.
struct SimDevice {
    uint8_t bus = 0;
    std::vector<uint8_t> ports;
    uint8_t address = 0;
    std::vector<uint8_t> descriptors;  // device descriptor, then the configuration
    libusb_device* device = nullptr;   // referenced while the snapshot holds it
};

struct SimLink {
    // Loads the library at `path`; empty when that worked, else why not.
    std::string load(const std::string& path);
    // The devices on the bus now (each referenced: hand the list to release()).
    std::vector<SimDevice> devices();
    void release(std::vector<SimDevice>& devices);

    void* library = nullptr;
    libusb_context* context = nullptr;
    int (*init)(libusb_context**) = nullptr;
    void (*exit)(libusb_context*) = nullptr;
    ssize_t (*get_device_list)(libusb_context*, libusb_device***) = nullptr;
    void (*free_device_list)(libusb_device**, int) = nullptr;
    libusb_device* (*ref_device)(libusb_device*) = nullptr;
    void (*unref_device)(libusb_device*) = nullptr;
    uint8_t (*get_bus_number)(libusb_device*) = nullptr;
    int (*get_port_numbers)(libusb_device*, uint8_t*, int) = nullptr;
    uint8_t (*get_device_address)(libusb_device*) = nullptr;
    int (*open)(libusb_device*, libusb_device_handle**) = nullptr;
    void (*close)(libusb_device_handle*) = nullptr;
    int (*get_configuration)(libusb_device_handle*, int*) = nullptr;
    int (*set_configuration)(libusb_device_handle*, int) = nullptr;
    int (*claim_interface)(libusb_device_handle*, int) = nullptr;
    int (*release_interface)(libusb_device_handle*, int) = nullptr;
    int (*set_interface_alt_setting)(libusb_device_handle*, int, int) = nullptr;
    int (*clear_halt)(libusb_device_handle*, unsigned char) = nullptr;
    int (*reset_device)(libusb_device_handle*) = nullptr;
    int (*control_transfer)(libusb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t,
                            unsigned char*, uint16_t, unsigned) = nullptr;
    int (*bulk_transfer)(libusb_device_handle*, unsigned char, unsigned char*, int, int*,
                         unsigned) = nullptr;
    int (*descriptors)(libusb_device*, unsigned char*, int) = nullptr;
    int (*in_ready)(libusb_device_handle*, unsigned char) = nullptr;
};

}  // namespace usbfs
