#include <stdexcept>

#include "DeviceKinds.h"
#include "sim/SimulatedBootloader.h"

namespace sim {

// Scenario kind "bootloader": the unit's chip in its DFU boot loader. Faults come from the
// optional "bootloaderFaults" object of the device entry, named as in BootloaderFaults; the
// optional "bootloaderSerial" sets its serial number string.
DeviceFactory bootloaderFactory() {
    return [](const rapidjson::Value& options, std::shared_ptr<UnitHardware> hardware) {
        BootloaderFaults faults;
        auto it = options.FindMember("bootloaderFaults");
        if (it != options.MemberEnd()) {
            if (!it->value.IsObject()) {
                throw std::runtime_error("\"bootloaderFaults\" is not an object");
            }
            for (const auto& member : it->value.GetObject()) {
                const std::string name = member.name.GetString();
                const rapidjson::Value& v = member.value;
                bool* flag = name == "eraseError"      ? &faults.eraseError
                             : name == "writeError"    ? &faults.writeError
                             : name == "verifyWrites"  ? &faults.verifyWrites
                             : name == "readProtected" ? &faults.readProtected
                             : name == "noUpload"      ? &faults.noUpload
                             : name == "startInError"  ? &faults.startInError
                             : name == "errorPersists" ? &faults.errorPersists
                                                       : nullptr;
                if (flag != nullptr && v.IsBool()) {
                    *flag = v.GetBool();
                } else if (name == "unplugAtRequest" && v.IsUint()) {
                    faults.unplugAtRequest = v.GetUint();
                } else if (name == "denyOpenMs" && v.IsUint()) {
                    faults.denyOpenMs = v.GetUint();
                } else if (name == "busyPollMs" && v.IsUint()) {
                    faults.busyPollMs = v.GetUint();
                } else {
                    throw std::runtime_error("bad boot loader fault \"" + name + "\"");
                }
            }
        }
        auto serial = options.FindMember("bootloaderSerial");
        if (serial != options.MemberEnd()) {
            if (!serial->value.IsString()) {
                throw std::runtime_error("\"bootloaderSerial\" is not a string");
            }
            return std::make_shared<SimulatedBootloader>(std::move(hardware), faults,
                                                         serial->value.GetString());
        }
        return std::make_shared<SimulatedBootloader>(std::move(hardware), faults);
    };
}

}  // namespace sim
