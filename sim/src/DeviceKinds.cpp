#include "DeviceKinds.h"

namespace sim {

DeviceFactory bootloaderFactory();

// Every device model that scenario files may name adds its kind here.
DeviceFactory deviceFactory(const std::string& kind) {
    if (kind == "bootloader")
        return bootloaderFactory();
    return {};
}

}  // namespace sim
