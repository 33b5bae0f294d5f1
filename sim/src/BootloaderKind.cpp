#include <stdexcept>
#include <string>

#include "DeviceKinds.h"
#include "sim/SimulatedBootloader.h"

namespace sim {

namespace {

// The device entry's member `name`, when it is there, as an object.
const rapidjson::Value* optionalObject(const rapidjson::Value& options, const char* name) {
    const auto it = options.FindMember(name);
    if (it == options.MemberEnd()) {
        return nullptr;
    }
    if (!it->value.IsObject()) {
        throw std::runtime_error(std::string("\"") + name + "\" is not an object");
    }
    return &it->value;
}

BootloaderFaults readFaults(const rapidjson::Value& options) {
    BootloaderFaults faults;
    const rapidjson::Value* object = optionalObject(options, "bootloaderFaults");
    if (object == nullptr) {
        return faults;
    }
    for (const auto& member : object->GetObject()) {
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
    return faults;
}

BootloaderTiming readTiming(const rapidjson::Value& options) {
    BootloaderTiming timing;
    const rapidjson::Value* object = optionalObject(options, "bootloaderTiming");
    if (object == nullptr) {
        return timing;
    }
    for (const auto& member : object->GetObject()) {
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
    return timing;
}

std::string readSerial(const rapidjson::Value& options) {
    const auto serial = options.FindMember("bootloaderSerial");
    if (serial == options.MemberEnd()) {
        return "3276376E3034";
    }
    if (!serial->value.IsString()) {
        throw std::runtime_error("\"bootloaderSerial\" is not a string");
    }
    return serial->value.GetString();
}

}  // namespace

// Scenario kind "bootloader": the unit's chip in its DFU boot loader. Faults come from the
// optional "bootloaderFaults" object of the device entry, named as in BootloaderFaults; the
// optional "bootloaderSerial" sets its serial number string, "bootloaderTiming" its times as in
// BootloaderTiming.
DeviceFactory bootloaderFactory() {
    return [](const rapidjson::Value& options, std::shared_ptr<UnitHardware> hardware) {
        auto loader = std::make_shared<SimulatedBootloader>(
            std::move(hardware), readFaults(options), readSerial(options));
        loader->timing() = readTiming(options);
        return loader;
    };
}

}  // namespace sim
