#include <stdexcept>

#include "DeviceKinds.h"
#include "sim/SimulatedBootloader.h"

namespace sim {

// Scenario kind "bootloader": the unit's chip in its DFU boot loader. Faults come from the
// optional "bootloaderFaults" object of the device entry, named as in BootloaderFaults; the
// optional "bootloaderSerial" sets its serial number string, "bootloaderTiming" its times as in
// BootloaderTiming.
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
        BootloaderTiming timing;
        it = options.FindMember("bootloaderTiming");
        if (it != options.MemberEnd()) {
            if (!it->value.IsObject()) {
                throw std::runtime_error("\"bootloaderTiming\" is not an object");
            }
            for (const auto& member : it->value.GetObject()) {
                const std::string name = member.name.GetString();
                const rapidjson::Value& v = member.value;
                if (name == "worstCase" && v.IsBool()) {
                    timing.worstCase = v.GetBool();
                } else if (name == "blockAddressFromLength" && v.IsBool()) {
                    timing.blockAddressFromLength = v.GetBool();
                } else if (name == "erasePollMs" && v.IsUint()) {
                    timing.erasePollMs = v.GetUint();
                } else if (name == "setAddressPollMs" && v.IsUint()) {
                    timing.setAddressPollMs = v.GetUint();
                } else if (name == "restartMs" && v.IsUint()) {
                    timing.restartMs = v.GetUint();
                } else {
                    throw std::runtime_error("bad boot loader timing \"" + name + "\"");
                }
            }
        }
        std::string serialNumber = "3276376E3034";
        auto serial = options.FindMember("bootloaderSerial");
        if (serial != options.MemberEnd()) {
            if (!serial->value.IsString()) {
                throw std::runtime_error("\"bootloaderSerial\" is not a string");
            }
            serialNumber = serial->value.GetString();
        }
        auto loader =
            std::make_shared<SimulatedBootloader>(std::move(hardware), faults, serialNumber);
        loader->timing() = timing;
        return loader;
    };
}

}  // namespace sim
