// What unitflash-usbfs asks of the drop-in library beyond libusb: the raw descriptors a kernel
// keeps in sysfs, and whether IN data waits, neither of which is a transfer on the bus.

#include <libusb.h>

#include <algorithm>

#include "LibusbObjects.h"
#include "sim/VirtualClock.h"

extern "C" {

// The device descriptor followed by the configuration descriptor, as sysfs "descriptors" holds
// them; the full length (more than `length` when cut short).
__attribute__((visibility("default"))) int unitflash_sim_descriptors(libusb_device* device,
                                                                     unsigned char* out,
                                                                     int length) {
    sim::VirtualClock::Lock lock;
    const sim::VirtualDevice& model = *device->attachment->device;
    std::vector<uint8_t> bytes = sim::deviceDescriptorBytes(model.deviceDescriptor());
    const std::vector<uint8_t> config = model.configDescriptor();
    bytes.insert(bytes.end(), config.begin(), config.end());
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), std::max(length, 0)), out);
    return static_cast<int>(bytes.size());
}

// 1 when a bulk IN transfer on `endpoint` would find data, 0 when not, LIBUSB_ERROR_NO_DEVICE
// when the device has left.
__attribute__((visibility("default"))) int unitflash_sim_in_ready(libusb_device_handle* handle,
                                                                  unsigned char endpoint) {
    sim::VirtualClock::Lock lock;
    const std::shared_ptr<sim::Attachment>& attachment = handle->device->attachment;
    if (!attachment->present) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    return attachment->device->inReady(endpoint) ? 1 : 0;
}
}
