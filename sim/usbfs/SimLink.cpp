#include "SimLink.h"

#include <dlfcn.h>

namespace usbfs {

namespace {

template <typename Function>
bool find(void* library, const char* name, Function& function, std::string& missing) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    if (function == nullptr && missing.empty()) {
        missing = name;
    }
    return function != nullptr;
}

}  // namespace

std::string SimLink::load(const std::string& path) {
    // Local symbols: nothing else in this process may bind to the simulator's libusb.
    library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = dlerror();
        return error ? error : "cannot load " + path;
    }
    std::string missing;
    find(library, "libusb_init", init, missing);
    find(library, "libusb_exit", exit, missing);
    find(library, "libusb_get_device_list", get_device_list, missing);
    find(library, "libusb_free_device_list", free_device_list, missing);
    find(library, "libusb_ref_device", ref_device, missing);
    find(library, "libusb_unref_device", unref_device, missing);
    find(library, "libusb_get_bus_number", get_bus_number, missing);
    find(library, "libusb_get_port_numbers", get_port_numbers, missing);
    find(library, "libusb_get_device_address", get_device_address, missing);
    find(library, "libusb_open", open, missing);
    find(library, "libusb_close", close, missing);
    find(library, "libusb_get_configuration", get_configuration, missing);
    find(library, "libusb_set_configuration", set_configuration, missing);
    find(library, "libusb_claim_interface", claim_interface, missing);
    find(library, "libusb_release_interface", release_interface, missing);
    find(library, "libusb_set_interface_alt_setting", set_interface_alt_setting, missing);
    find(library, "libusb_clear_halt", clear_halt, missing);
    find(library, "libusb_reset_device", reset_device, missing);
    find(library, "libusb_control_transfer", control_transfer, missing);
    find(library, "libusb_bulk_transfer", bulk_transfer, missing);
    find(library, "unitflash_sim_descriptors", descriptors, missing);
    find(library, "unitflash_sim_in_ready", in_ready, missing);
    if (!missing.empty()) {
        return path + " is not the simulator's libusb (no " + missing + ")";
    }
    if (init(&context) != LIBUSB_SUCCESS) {
        return "the simulated bus did not start";
    }
    return {};
}

std::vector<SimDevice> SimLink::devices() {
    std::vector<SimDevice> result;
    libusb_device** list = nullptr;
    const ssize_t count = get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        SimDevice d;
        d.device = ref_device(list[i]);
        d.bus = get_bus_number(d.device);
        uint8_t ports[8];
        const int depth = get_port_numbers(d.device, ports, sizeof ports);
        d.ports.assign(ports, ports + (depth > 0 ? depth : 0));
        d.address = get_device_address(d.device);
        d.descriptors.resize(512);
        const int length =
            descriptors(d.device, d.descriptors.data(), static_cast<int>(d.descriptors.size()));
        d.descriptors.resize(std::min<size_t>(d.descriptors.size(), length > 0 ? length : 0));
        result.push_back(std::move(d));
    }
    if (count >= 0) {
        free_device_list(list, 1);
    }
    return result;
}

void SimLink::release(std::vector<SimDevice>& devices) {
    for (SimDevice& d : devices) {
        unref_device(d.device);
    }
    devices.clear();
}

}  // namespace usbfs
