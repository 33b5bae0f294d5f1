#include "DeviceKinds.h"

namespace sim {

DeviceFactory bootloaderFactory();
DeviceFactory unitFactory();

// Every device model that scenario files may name adds its kind here.
DeviceFactory deviceFactory(const std::string& kind) {
    if (kind == "unit") {
        return unitFactory();
    }
    if (kind == "bootloader") {
        return bootloaderFactory();
    }
    return {};
}

}  // namespace sim
