// An ordinary libusb program, built against the system libusb: lists the devices it sees with
// their place, identification and product name.
#include <libusb.h>

#include <cstdio>

int main() {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS) {
        std::printf("init failed\n");
        return 1;
    }
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(list[i], &d);
        uint8_t ports[7];
        int depth = libusb_get_port_numbers(list[i], ports, 7);
        std::printf("%04x:%04x bus %d port", d.idVendor, d.idProduct,
                    libusb_get_bus_number(list[i]));
        for (int p = 0; p < depth; ++p) {
            std::printf("%c%d", p == 0 ? ' ' : '.', ports[p]);
        }
        libusb_device_handle* handle = nullptr;
        unsigned char name[128] = "";
        if (libusb_open(list[i], &handle) == LIBUSB_SUCCESS) {
            libusb_get_string_descriptor_ascii(handle, d.iProduct, name, sizeof name);
            libusb_close(handle);
        }
        std::printf(" \"%s\"\n", reinterpret_cast<char*>(name));
    }
    libusb_free_device_list(list, 1);
    libusb_exit(context);
    return 0;
}
