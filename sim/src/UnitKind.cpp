#include <libusb.h>

#include <stdexcept>

#include "DeviceKinds.h"
#include "sim/SimulatedUnit.h"

namespace sim {
namespace {

[[noreturn]] void bad(const std::string& what) {
    throw std::runtime_error(what);
}

// The code of a libusb error name such as "LIBUSB_ERROR_BUSY".
int libusbErrorCode(const std::string& name) {
    for (int code = LIBUSB_ERROR_IO; code >= LIBUSB_ERROR_OTHER; --code) {
        if (name == libusb_error_name(code)) {
            return code;
        }
    }
    bad("bad \"openError\" " + name);
}

uint16_t bcdDeviceOf(const rapidjson::Value& v) {
    if (v.IsUint() && v.GetUint() <= 0xFFFF) {
        return static_cast<uint16_t>(v.GetUint());
    }
    if (v.IsString()) {
        size_t used = 0;
        unsigned long value = std::stoul(v.GetString(), &used, 0);
        if (used > 0 && v.GetString()[used] == '\0' && value <= 0xFFFF) {
            return static_cast<uint16_t>(value);
        }
    }
    bad("bad \"bcdDevice\"");
}

void readFaults(const rapidjson::Value& v, UnitOptions& options) {
    UnitFaults& faults = options.faults;
    if (!v.IsObject()) {
        bad("\"faults\" is not an object");
    }
    for (const auto& member : v.GetObject()) {
        const std::string name = member.name.GetString();
        const rapidjson::Value& value = member.value;
        unsigned* counter = name == "corruptChecksums"   ? &faults.corruptChecksums
                            : name == "shortFrames"      ? &faults.shortFrames
                            : name == "overlongFrames"   ? &faults.overlongFrames
                            : name == "badCatalogues"    ? &faults.badCatalogues
                            : name == "silentRequests"   ? &faults.silentRequests
                            : name == "stallRequests"    ? &faults.stallRequests
                            : name == "unplugAtTransfer" ? &faults.unplugAtTransfer
                                                         : nullptr;
        if (counter != nullptr && value.IsUint()) {
            *counter = value.GetUint();
        } else if (name == "denyOpen" && value.IsBool()) {
            faults.denyOpen = value.GetBool();
        } else if (name == "openError" && value.IsString()) {
            faults.openError = libusbErrorCode(value.GetString());
        } else if (name == "afterRestarts" && value.IsUint() && value.GetUint() < 1000000) {
            options.faultsAfterRestarts = static_cast<int>(value.GetUint());
        } else {
            bad("bad unit fault \"" + name + "\"");
        }
    }
}

void readSettings(const rapidjson::Value& v, UnitOptions& options) {
    if (!v.IsObject()) {
        bad("\"settings\" is not an object");
    }
    for (const auto& member : v.GetObject()) {
        const std::string name = member.name.GetString();
        const rapidjson::Value& value = member.value;
        if (value.IsString()) {
            options.texts[name] = value.GetString();
        } else if (value.IsNumber() || value.IsBool()) {
            options.numbers[name] = {value.IsBool() ? double(value.GetBool()) : value.GetDouble()};
        } else if (value.IsArray()) {
            std::vector<double>& numbers = options.numbers[name];
            for (const auto& element : value.GetArray()) {
                if (!element.IsNumber()) {
                    bad("setting \"" + name + "\": array of numbers expected");
                }
                numbers.push_back(element.GetDouble());
            }
        } else {
            bad("setting \"" + name + "\": text, number or array expected");
        }
    }
}

std::string stringOr(const rapidjson::Value& entry, const char* key, const std::string& fallback) {
    auto it = entry.FindMember(key);
    if (it == entry.MemberEnd()) {
        return fallback;
    }
    if (!it->value.IsString()) {
        bad(std::string("\"") + key + "\" is not a string");
    }
    return it->value.GetString();
}

}  // namespace

// Scenario kind "unit": the unit in normal operation. Optional members of the device entry:
// "bcdDevice" (number or text such as "0x0250"), "product", "serialNumber", "vio",
// "hardwareUid", "bootloaderDelayMs", "settings" (factory defaults by setting name: text, number or
// array) and "faults" (named as in UnitFaults; "afterRestarts": n limits them to the unit's life
// after its n-th restart).
DeviceFactory unitFactory() {
    return [](const rapidjson::Value& entry, std::shared_ptr<UnitHardware> hardware) {
        UnitOptions options;
        auto bcd = entry.FindMember("bcdDevice");
        if (bcd != entry.MemberEnd()) {
            options.bcdDevice = bcdDeviceOf(bcd->value);
        }
        options.product = stringOr(entry, "product", options.product);
        options.serialNumber = stringOr(entry, "serialNumber", options.serialNumber);
        options.vio = stringOr(entry, "vio", options.vio);
        options.hardwareUid = stringOr(entry, "hardwareUid", options.hardwareUid);
        auto settings = entry.FindMember("settings");
        if (settings != entry.MemberEnd()) {
            readSettings(settings->value, options);
        }
        auto delay = entry.FindMember("bootloaderDelayMs");
        if (delay != entry.MemberEnd()) {
            if (!delay->value.IsUint()) {
                bad("bad \"bootloaderDelayMs\"");
            }
            options.bootloaderDelayMs = delay->value.GetUint();
        }
        auto faults = entry.FindMember("faults");
        if (faults != entry.MemberEnd()) {
            readFaults(faults->value, options);
        }
        return std::make_shared<SimulatedUnit>(std::move(hardware), options);
    };
}

}  // namespace sim
