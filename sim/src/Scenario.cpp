#include "sim/Scenario.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/istreamwrapper.h>
#include <rapidjson/ostreamwrapper.h>
#include <rapidjson/prettywriter.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <sstream>
#include <stdexcept>

#include "DeviceKinds.h"
#include "sim/Bus.h"
#include "sim/SimulatedUnit.h"
#include "sim/VirtualClock.h"

namespace sim {
namespace {

// One device of a loaded scenario: where it sits and the hardware behind it.
struct Placed {
    uint8_t busNumber;
    std::vector<uint8_t> portPath;
    std::string key;  // its entry in the state file
    std::shared_ptr<UnitHardware> hardware;
};

struct Loaded {
    rapidjson::Document document;  // device options stay referenced by the factories
    std::string stateFile;
    std::vector<Placed> devices;
};

// Scenarios loaded in this process; never destroyed, the factories refer to them.
std::list<Loaded>& loadedScenarios() {
    static auto* loaded = new std::list<Loaded>;
    return *loaded;
}

// When the process ends, devices that are restarting finish doing so (a unit that left for its
// boot loader comes back as it) before their state is saved for the next process.
void settleAndSaveAtExit() {
    static bool registered = false;
    if (registered) {
        return;
    }
    registered = true;
    std::atexit([] {
        VirtualClock::settle(10'000'000);
        try {
            Scenario::saveState();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "unitflash-sim: saving the device state: %s\n", e.what());
        }
    });
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

rapidjson::Document parseFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        fail("cannot read " + path);
    }
    rapidjson::IStreamWrapper stream(in);
    rapidjson::Document document;
    document.ParseStream(stream);
    if (document.HasParseError()) {
        fail(std::string("JSON error at offset ") + std::to_string(document.GetErrorOffset()) +
             ": " + rapidjson::GetParseError_En(document.GetParseError()));
    }
    return document;
}

std::vector<uint8_t> parsePort(const rapidjson::Value& port) {
    std::vector<uint8_t> path;
    auto add = [&](long number) {
        if (number < 1 || number > 255 || path.size() == 7) {
            fail("bad port path");
        }
        path.push_back(static_cast<uint8_t>(number));
    };
    if (port.IsArray()) {
        for (const auto& n : port.GetArray()) {
            add(n.IsInt() ? n.GetInt() : 0);
        }
    } else if (port.IsString()) {
        std::stringstream text(port.GetString());
        std::string piece;
        while (std::getline(text, piece, '.')) {
            add(piece.empty() ? 0 : std::strtol(piece.c_str(), nullptr, 10));
        }
    }
    if (path.empty()) {
        fail("bad port path");
    }
    return path;
}

std::string hexOf(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::vector<uint8_t> bytesOf(const std::string& hex) {
    if (hex.size() % 2 != 0) {
        fail("bad hex text in state file");
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// Writes the marker and version text where a firmware image keeps them.
void writeFirmwareVersion(UnitHardware& hardware, const std::string& version) {
    std::string text = std::string(UnitHardware::kVersionMarker) + version;
    std::fill(hardware.flash.begin(), hardware.flash.begin() + 0x400 + text.size() + 1, 0x00);
    std::copy(text.begin(), text.end(), hardware.flash.begin() + 0x400);
}

const char* stringMember(const rapidjson::Value& v, const char* name, const char* fallback) {
    auto it = v.FindMember(name);
    return it != v.MemberEnd() && it->value.IsString() ? it->value.GetString() : fallback;
}

}  // namespace

void Scenario::load(Bus& bus, const std::string& path) {
    VirtualClock::Lock lock;
    loadedScenarios().emplace_back();
    Loaded& scenario = loadedScenarios().back();
    scenario.document = parseFile(path);
    const rapidjson::Value& root = scenario.document;
    if (!root.IsObject() || !root.HasMember("devices") || !root["devices"].IsArray()) {
        fail("expected an object with a \"devices\" array");
    }
    scenario.stateFile = stringMember(root, "stateFile", "");
    if (!scenario.stateFile.empty()) {
        settleAndSaveAtExit();
    }
    // The state file now belongs to this scenario; an earlier one no longer writes it.
    for (Loaded& earlier : loadedScenarios()) {
        if (&earlier != &scenario && earlier.stateFile == scenario.stateFile) {
            earlier.stateFile.clear();
        }
    }
    rapidjson::Document state;
    if (!scenario.stateFile.empty() && std::ifstream(scenario.stateFile).good()) {
        state = parseFile(scenario.stateFile);
    }

    for (const rapidjson::Value& entry : root["devices"].GetArray()) {
        if (!entry.IsObject()) {
            fail("a device entry is not an object");
        }
        Placed placed;
        int busNumber =
            entry.HasMember("bus") ? (entry["bus"].IsInt() ? entry["bus"].GetInt() : 0) : 1;
        if (busNumber < 1 || busNumber > 255) {
            fail("bad bus number");
        }
        placed.busNumber = static_cast<uint8_t>(busNumber);
        if (!entry.HasMember("port")) {
            fail("a device entry has no \"port\"");
        }
        placed.portPath = parsePort(entry["port"]);
        placed.key = std::to_string(placed.busNumber);
        for (uint8_t p : placed.portPath) {
            placed.key +=
                (placed.key.find('-') == std::string::npos ? "-" : ".") + std::to_string(p);
        }
        std::string kind = stringMember(entry, "kind", "unit");
        DeviceFactory factory = deviceFactory(kind);
        if (!factory) {
            fail("unknown device kind \"" + kind + "\"");
        }

        auto hardware = std::make_shared<UnitHardware>();
        writeFirmwareVersion(*hardware, stringMember(entry, "firmwareVersion", "1.0.0"));
        if (DeviceFactory unit = deviceFactory("unit")) {
            hardware->makeUnit = [unit, &entry](std::shared_ptr<UnitHardware> hw) {
                return unit(entry, std::move(hw));
            };
        }
        if (DeviceFactory bootloader = deviceFactory("bootloader")) {
            hardware->makeBootloader = [bootloader, &entry](std::shared_ptr<UnitHardware> hw) {
                return bootloader(entry, std::move(hw));
            };
        }

        // A state file saved by an earlier process tells what the hardware holds now, which
        // side of it is on the bus and, for a unit that stayed powered, its value image.
        std::vector<uint8_t> image;
        if (state.IsObject() && state.HasMember(placed.key.c_str())) {
            const rapidjson::Value& saved = state[placed.key.c_str()];
            std::vector<uint8_t> flash = bytesOf(stringMember(saved, "flash", ""));
            std::fill(hardware->flash.begin(), hardware->flash.end(), 0xFF);
            std::copy_n(flash.begin(), std::min(flash.size(), hardware->flash.size()),
                        hardware->flash.begin());
            hardware->savedSettings = bytesOf(stringMember(saved, "savedSettings", ""));
            std::string mode = stringMember(saved, "mode", kind.c_str());
            factory = mode == "none" ? DeviceFactory{} : deviceFactory(mode);
            image = bytesOf(stringMember(saved, "image", ""));
        }
        std::shared_ptr<VirtualDevice> device =
            factory ? factory(entry, hardware) : std::shared_ptr<VirtualDevice>{};
        if (auto unit = std::dynamic_pointer_cast<SimulatedUnit>(device); unit && !image.empty()) {
            unit->restoreImage(image);
        }
        placed.hardware = hardware;
        if (device) {
            bus.attach(placed.busNumber, placed.portPath, device);
        }
        scenario.devices.push_back(std::move(placed));
    }
}

void Scenario::saveState() {
    VirtualClock::Lock lock;
    for (const Loaded& scenario : loadedScenarios()) {
        if (scenario.stateFile.empty()) {
            continue;
        }
        rapidjson::Document state(rapidjson::kObjectType);
        auto& allocator = state.GetAllocator();
        for (const Placed& placed : scenario.devices) {
            const std::vector<uint8_t>& flash = placed.hardware->flash;
            size_t used = flash.size();
            while (used > 0 && flash[used - 1] == 0xFF) {
                --used;
            }
            std::shared_ptr<VirtualDevice> now =
                Bus::instance().deviceAt(placed.busNumber, placed.portPath);
            const char* mode = !now ? "none"
                               : now->deviceDescriptor().idVendor == SimulatedUnit::kVendorId
                                   ? "unit"
                                   : "bootloader";
            rapidjson::Value entry(rapidjson::kObjectType);
            entry.AddMember("mode", rapidjson::Value(mode, allocator), allocator);
            entry.AddMember(
                "flash",
                rapidjson::Value(hexOf({flash.begin(), flash.begin() + used}).c_str(), allocator),
                allocator);
            entry.AddMember(
                "savedSettings",
                rapidjson::Value(hexOf(placed.hardware->savedSettings).c_str(), allocator),
                allocator);
            if (auto unit = std::dynamic_pointer_cast<SimulatedUnit>(now)) {
                entry.AddMember("image", rapidjson::Value(hexOf(unit->image()).c_str(), allocator),
                                allocator);
            }
            state.AddMember(rapidjson::Value(placed.key.c_str(), allocator), entry, allocator);
        }
        std::ofstream out(scenario.stateFile, std::ios::trunc);
        rapidjson::OStreamWrapper stream(out);
        rapidjson::PrettyWriter<rapidjson::OStreamWrapper> writer(stream);
        state.Accept(writer);
        if (!out) {
            fail("cannot write " + scenario.stateFile);
        }
    }
}

}  // namespace sim
