#include "sim/Scenario.h"

#include <fcntl.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/istreamwrapper.h>
#include <rapidjson/ostreamwrapper.h>
#include <rapidjson/prettywriter.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <list>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "DeviceKinds.h"
#include "sim/Bus.h"
#include "sim/DfuFileWriter.h"
#include "sim/SimulatedBootloader.h"
#include "sim/SimulatedUnit.h"
#include "sim/VirtualClock.h"

namespace sim {
namespace {

// What the state file holds of one device; it is rewritten only when this changes.
struct Snapshot {
    std::string mode;  // the side on the bus: "unit", "bootloader" or "none"
    std::vector<uint8_t> savedSettings;
    unsigned unitStarts = 0;
    std::vector<uint8_t> image;  // live values of a unit on the bus
    int dfuState = -1;           // DFU state of a boot loader on the bus
    int dfuStatus = 0;
    uint32_t pointer = 0;

    bool operator==(const Snapshot& o) const {
        return mode == o.mode && savedSettings == o.savedSettings && unitStarts == o.unitStarts &&
               image == o.image && dfuState == o.dfuState && dfuStatus == o.dfuStatus &&
               pointer == o.pointer;
    }
};

// One device of a loaded scenario: where it sits and the hardware behind it.
struct Placed {
    uint8_t busNumber;
    std::vector<uint8_t> portPath;
    std::string key;  // its entry in the state file
    std::shared_ptr<UnitHardware> hardware;
    Snapshot saved;
    // What the device's flash file holds; empty until it is written.
    std::vector<uint8_t> flashWritten;
};

struct Loaded {
    rapidjson::Document document;  // device options stay referenced by the factories
    std::string stateFile;
    std::vector<Placed> devices;
    // The state file held every device of the scenario when this process last looked.
    bool written = false;
};

bool loading = false;

// A device found on the bus when the scenario loads, with its place in sysfs.
struct Present {
    std::string sysfsPath;
    uint8_t busNumber;
    std::vector<uint8_t> portPath;
    std::shared_ptr<VirtualDevice> device;
};

// The device's directory below the root hub, as sysfs names it ("usb1/1-4/1-4.2").
std::string sysfsPath(uint8_t busNumber, const std::vector<uint8_t>& portPath) {
    std::string path = "usb" + std::to_string(busNumber);
    std::string name = std::to_string(busNumber) + "-";
    for (size_t i = 0; i < portPath.size(); ++i) {
        name += (i == 0 ? "" : ".") + std::to_string(portPath[i]);
        path += "/" + name;
    }
    return path;
}

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

// A unit from the factory: an example image of that version, blank settings sector.
void writeFirmware(UnitHardware& hardware, const std::string& version) {
    const std::vector<uint8_t> image = makeExampleFirmware(version);
    std::copy(image.begin(), image.end(), hardware.flash.begin());
}

#ifdef _WIN32
const char* const kSlashes = "/\\";
#else
const char* const kSlashes = "/";
#endif

bool isAbsolute(const std::string& path) {
#ifdef _WIN32
    if (path.size() > 1 && path[1] == ':') {
        return true;
    }
#endif
    return !path.empty() && std::strchr(kSlashes, path[0]) != nullptr;
}

// A relative state file lies beside the scenario file.
std::string besideScenario(const std::string& scenarioPath, const std::string& file) {
    if (file.empty() || isAbsolute(file)) {
        return file;
    }
    const size_t slash = scenarioPath.find_last_of(kSlashes);
    return slash == std::string::npos ? file : scenarioPath.substr(0, slash + 1) + file;
}

// The flash of a device lies in a binary file beside the state file, named in it.
std::string flashFileName(const std::string& stateFile, const Placed& placed) {
    const size_t slash = stateFile.find_last_of(kSlashes);
    return stateFile.substr(slash == std::string::npos ? 0 : slash + 1) + "-" + placed.key +
           ".flash";
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("cannot read " + path);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Writes what changed since the last write: like the chip's own programming, a process killed
// meanwhile leaves the blocks it wrote.
// `whole` when the file does not hold this device's flash yet.
void writeFlash(Placed& placed, const std::string& path, bool whole) {
    const std::vector<uint8_t>& flash = placed.hardware->flash;
    whole = whole || placed.flashWritten.size() != flash.size();
    if (!whole && placed.flashWritten == flash) {
        return;
    }
#ifdef _WIN32
    const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | (whole ? _O_TRUNC : 0),
                         _S_IREAD | _S_IWRITE);
    auto pwrite = [](int file, const void* data, size_t n, int64_t at) -> int64_t {
        return _lseeki64(file, at, SEEK_SET) == at ? _write(file, data, static_cast<unsigned>(n))
                                                   : -1;
    };
    auto close = _close;
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | (whole ? O_TRUNC : 0), 0644);
#endif
    if (fd < 0) {
        fail("cannot write " + path);
    }
    constexpr size_t kBlock = 2048;
    bool good = true;
    for (size_t at = 0; at < flash.size() && good; at += kBlock) {
        const size_t n = std::min(kBlock, flash.size() - at);
        if (whole || std::memcmp(flash.data() + at, placed.flashWritten.data() + at, n) != 0) {
            good =
                pwrite(fd, flash.data() + at, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
        }
    }
    good = close(fd) == 0 && good;
    if (!good) {
        fail("cannot write " + path);
    }
    placed.flashWritten = flash;
}

Snapshot snapshotOf(const Placed& placed) {
    Snapshot snapshot;
    snapshot.savedSettings = placed.hardware->savedSettingsRecord();
    snapshot.unitStarts = placed.hardware->unitStarts;
    std::shared_ptr<VirtualDevice> now =
        Bus::instance().deviceAt(placed.busNumber, placed.portPath);
    snapshot.mode = "none";
    if (auto unit = std::dynamic_pointer_cast<SimulatedUnit>(now)) {
        snapshot.mode = "unit";
        snapshot.image = unit->image();
    } else if (auto loader = std::dynamic_pointer_cast<SimulatedBootloader>(now)) {
        snapshot.mode = "bootloader";
        snapshot.dfuState = static_cast<int>(loader->state());
        snapshot.dfuStatus = static_cast<int>(loader->status());
        snapshot.pointer = loader->addressPointer();
    } else if (now) {
        snapshot.mode = "unit";
    }
    return snapshot;
}

int intMember(const rapidjson::Value& v, const char* name, int fallback) {
    auto it = v.FindMember(name);
    return it != v.MemberEnd() && it->value.IsInt() ? it->value.GetInt() : fallback;
}

const char* stringMember(const rapidjson::Value& v, const char* name, const char* fallback) {
    auto it = v.FindMember(name);
    return it != v.MemberEnd() && it->value.IsString() ? it->value.GetString() : fallback;
}

// "bus": {"controlPacketsPerFrame": 13, "bulkPacketsPerFrame": 17}, fewer for a slow bus.
BusModel parseBusModel(const rapidjson::Value& v) {
    if (!v.IsObject()) {
        fail("\"bus\" is not an object");
    }
    BusModel model;
    for (const auto& member : v.GetObject()) {
        const std::string name = member.name.GetString();
        unsigned* field = name == "controlPacketsPerFrame" ? &model.controlPacketsPerFrame
                          : name == "bulkPacketsPerFrame"  ? &model.bulkPacketsPerFrame
                                                           : nullptr;
        if (field == nullptr || !member.value.IsUint() || member.value.GetUint() == 0) {
            fail("bad bus setting \"" + name + "\"");
        }
        *field = member.value.GetUint();
    }
    return model;
}

// Several processes may work on the devices of one scenario at once, each on its own units (as
// the runs of an update of all units do): each reads, changes and writes the state file while
// it holds the lock file beside it, and writes only the entries of devices it changed. The
// system drops the lock of a process that ends, however it ends.
class StateLock {
  public:
    explicit StateLock(const std::string& stateFile) {
        const std::string path = stateFile + ".lock";
        // Another user's lock file is opened for reading, which is enough to lock it.
#ifdef _WIN32
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        file_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) {
            file_ = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        OVERLAPPED whole{};
        if (file_ != INVALID_HANDLE_VALUE &&
            !LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
            CloseHandle(file_);
            file_ = INVALID_HANDLE_VALUE;
        }
        if (file_ == INVALID_HANDLE_VALUE) {
            fail("cannot lock " + path);
        }
#else
        file_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        file_ = file_ >= 0 ? file_ : open(path.c_str(), O_RDONLY | O_CLOEXEC);
        while (file_ >= 0 && flock(file_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(file_);
                file_ = -1;
            }
        }
        if (file_ < 0) {
            fail("cannot lock " + path);
        }
#endif
    }
    ~StateLock() {
#ifdef _WIN32
        CloseHandle(file_);  // which drops the lock
#else
        close(file_);
#endif
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

  private:
#ifdef _WIN32
    HANDLE file_;
#else
    int file_;
#endif
};

// The state file as the last process left it; an empty document when there is none.
rapidjson::Document readState(const std::string& stateFile) {
    rapidjson::Document state;
    if (!stateFile.empty() && std::ifstream(stateFile).good()) {
        state = parseFile(stateFile);
    }
    return state;
}

const rapidjson::Value* entryIn(const rapidjson::Document& state, const Placed& placed) {
    if (!state.IsObject()) {
        return nullptr;
    }
    const auto it = state.FindMember(placed.key.c_str());
    return it == state.MemberEnd() ? nullptr : &it->value;
}

rapidjson::Value entryOf(const Loaded& scenario, const Placed& placed,
                         rapidjson::Document::AllocatorType& allocator) {
    const Snapshot& snapshot = placed.saved;
    auto text = [&](const std::vector<uint8_t>& bytes) {
        return rapidjson::Value(hexOf(bytes).c_str(), allocator);
    };
    rapidjson::Value entry(rapidjson::kObjectType);
    entry.AddMember("mode", rapidjson::Value(snapshot.mode.c_str(), allocator), allocator);
    entry.AddMember("flashFile",
                    rapidjson::Value(flashFileName(scenario.stateFile, placed).c_str(), allocator),
                    allocator);
    entry.AddMember("unitStarts", snapshot.unitStarts, allocator);
    // For readers only: the settings sector's values, whichever version wrote them.
    entry.AddMember("savedSettings", text(snapshot.savedSettings), allocator);
    if (snapshot.mode == "unit" && !snapshot.image.empty()) {
        entry.AddMember("image", text(snapshot.image), allocator);
    }
    if (snapshot.dfuState >= 0) {
        entry.AddMember("dfuState", snapshot.dfuState, allocator);
        entry.AddMember("dfuStatus", snapshot.dfuStatus, allocator);
        entry.AddMember("addressPointer", snapshot.pointer, allocator);
    }
    return entry;
}

// Written beside and renamed over, so that a process killed meanwhile leaves a whole file.
void writeState(const rapidjson::Document& state, const std::string& stateFile) {
    const std::string temporary = stateFile + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        rapidjson::OStreamWrapper stream(out);
        rapidjson::PrettyWriter<rapidjson::OStreamWrapper> writer(stream);
        state.Accept(writer);
        out.close();
        if (!out) {
            fail("cannot write " + temporary);
        }
    }
#ifdef _WIN32
    // std::rename does not replace an existing file here.
    const bool replaced =
        MoveFileExA(temporary.c_str(), stateFile.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    const bool replaced = std::rename(temporary.c_str(), stateFile.c_str()) == 0;
#endif
    if (!replaced) {
        fail("cannot write " + stateFile);
    }
}

// Whether a device of the scenario changed since this process last wrote or read its state.
bool changedSinceSaved(Loaded& scenario) {
    bool changed = !scenario.written;
    for (Placed& placed : scenario.devices) {
        Snapshot now = snapshotOf(placed);
        changed =
            changed || !(now == placed.saved) || placed.flashWritten != placed.hardware->flash;
    }
    return changed;
}

// Under the lock: the devices this process changed (or that the file lacks) get their entries
// and flash files written; the others keep what other processes wrote for them.
void saveScenario(Loaded& scenario) {
    const StateLock lock(scenario.stateFile);
    const rapidjson::Document previous = readState(scenario.stateFile);
    rapidjson::Document state(rapidjson::kObjectType);
    auto& allocator = state.GetAllocator();
    for (Placed& placed : scenario.devices) {
        const rapidjson::Value* entry = entryIn(previous, placed);
        writeFlash(placed,
                   besideScenario(scenario.stateFile, flashFileName(scenario.stateFile, placed)),
                   entry == nullptr || !entry->HasMember("flashFile"));
        Snapshot now = snapshotOf(placed);
        rapidjson::Value kept;
        if (entry != nullptr && now == placed.saved) {
            kept.CopyFrom(*entry, allocator);
        } else {
            placed.saved = std::move(now);
            kept = entryOf(scenario, placed, allocator);
        }
        state.AddMember(rapidjson::Value(placed.key.c_str(), allocator), kept, allocator);
    }
    writeState(state, scenario.stateFile);
    scenario.written = true;
}

// Where a device entry of the scenario places the device.
Placed placeOf(const rapidjson::Value& entry) {
    if (!entry.IsObject()) {
        fail("a device entry is not an object");
    }
    Placed placed;
    int busNumber = entry.HasMember("bus") ? (entry["bus"].IsInt() ? entry["bus"].GetInt() : 0) : 1;
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
        placed.key += (placed.key.find('-') == std::string::npos ? "-" : ".") + std::to_string(p);
    }
    return placed;
}

// A boot loader that stayed powered keeps its DFU state; work it was busy with when the last
// process ended has an outcome nobody saw.
void restoreBootloader(SimulatedBootloader& loader, const rapidjson::Value& saved) {
    auto dfuState = static_cast<DfuState>(intMember(saved, "dfuState", 0));
    auto dfuStatus = static_cast<DfuStatus>(intMember(saved, "dfuStatus", 0));
    if (dfuState == DfuState::dfuDnbusy || dfuState == DfuState::dfuDnloadSync ||
        dfuState == DfuState::dfuManifest || dfuState == DfuState::dfuManifestSync) {
        dfuState = DfuState::dfuError;
        dfuStatus = DfuStatus::errUnknown;
    }
    loader.restoreState(
        dfuState, dfuStatus,
        static_cast<uint32_t>(intMember(saved, "addressPointer", UnitHardware::kFlashBase)));
}

// The hardware of a device entry and the side of it on the bus (none when neither), as the
// state an earlier process `saved` for it says, else from the factory.
std::shared_ptr<VirtualDevice> makeDevice(Placed& placed, const rapidjson::Value& entry,
                                          const rapidjson::Value* saved,
                                          const std::string& stateFile) {
    std::string kind = stringMember(entry, "kind", "unit");
    DeviceFactory factory = deviceFactory(kind);
    if (!factory) {
        fail("unknown device kind \"" + kind + "\"");
    }
    auto hardware = std::make_shared<UnitHardware>();
    placed.hardware = hardware;
    writeFirmware(*hardware, stringMember(entry, "firmwareVersion", "1.0.0"));
    for (const char* side : {"unit", "bootloader"}) {
        if (DeviceFactory make = deviceFactory(side)) {
            (side[0] == 'u' ? hardware->makeUnit : hardware->makeBootloader) =
                [make, &entry](std::shared_ptr<UnitHardware> hw) {
                    return make(entry, std::move(hw));
                };
        }
    }
    if (saved == nullptr) {
        return factory(entry, hardware);
    }
    // What the hardware holds now, which side of it is on the bus and, for a unit that stayed
    // powered, its value image.
    const std::string flashFile = stringMember(*saved, "flashFile", "");
    const std::vector<uint8_t> flash = flashFile.empty()
                                           ? bytesOf(stringMember(*saved, "flash", ""))
                                           : readFile(besideScenario(stateFile, flashFile));
    std::fill(hardware->flash.begin(), hardware->flash.end(), 0xFF);
    std::copy_n(flash.begin(), std::min(flash.size(), hardware->flash.size()),
                hardware->flash.begin());
    hardware->unitStarts = static_cast<unsigned>(intMember(*saved, "unitStarts", 0));
    const std::string mode = stringMember(*saved, "mode", kind.c_str());
    const std::vector<uint8_t> image = bytesOf(stringMember(*saved, "image", ""));
    // A unit that stayed powered goes on with the life it had.
    if (mode == "unit" && !image.empty() && hardware->unitStarts > 0) {
        --hardware->unitStarts;
    }
    const DeviceFactory side = mode == "none" ? DeviceFactory{} : deviceFactory(mode);
    const std::shared_ptr<VirtualDevice> device = side ? side(entry, hardware) : nullptr;
    if (auto unit = std::dynamic_pointer_cast<SimulatedUnit>(device); unit && !image.empty()) {
        unit->restoreImage(image);
    }
    auto loader = std::dynamic_pointer_cast<SimulatedBootloader>(device);
    if (loader && intMember(*saved, "dfuState", -1) >= 0) {
        restoreBootloader(*loader, *saved);
    }
    return device;
}

}  // namespace

void Scenario::load(Bus& bus, const std::string& path) {
    VirtualClock::Lock lock;
    struct Loading {
        Loading() { loading = true; }
        ~Loading() { loading = false; }
    } guard;
    loadedScenarios().emplace_back();
    Loaded& scenario = loadedScenarios().back();
    scenario.document = parseFile(path);
    const rapidjson::Value& root = scenario.document;
    if (!root.IsObject() || !root.HasMember("devices") || !root["devices"].IsArray()) {
        fail("expected an object with a \"devices\" array");
    }
    scenario.stateFile = besideScenario(path, stringMember(root, "stateFile", ""));
    if (!scenario.stateFile.empty()) {
        settleAndSaveAtExit();
    }
    // The state file now belongs to this scenario; an earlier one no longer writes it.
    for (Loaded& earlier : loadedScenarios()) {
        if (&earlier != &scenario && earlier.stateFile == scenario.stateFile) {
            earlier.stateFile.clear();
        }
    }
    if (root.HasMember("bus")) {
        Bus::setModel(parseBusModel(root["bus"]));
    }
    std::vector<Present> present;
    {
        // Read while no other process writes, so that the flash files match the state file.
        std::unique_ptr<StateLock> reading;
        if (!scenario.stateFile.empty()) {
            reading = std::make_unique<StateLock>(scenario.stateFile);
        }
        const rapidjson::Document state = readState(scenario.stateFile);
        scenario.written = state.IsObject();
        for (const rapidjson::Value& entry : root["devices"].GetArray()) {
            scenario.devices.push_back(placeOf(entry));
            Placed& placed = scenario.devices.back();
            const rapidjson::Value* saved = entryIn(state, placed);
            scenario.written = scenario.written && saved != nullptr;
            if (std::shared_ptr<VirtualDevice> device =
                    makeDevice(placed, entry, saved, scenario.stateFile)) {
                present.push_back({sysfsPath(placed.busNumber, placed.portPath), placed.busNumber,
                                   placed.portPath, device});
            }
        }
    }
    // A host finds the devices already plugged in in sysfs order.
    std::stable_sort(present.begin(), present.end(),
                     [](const auto& a, const auto& b) { return a.sysfsPath < b.sysfsPath; });
    for (const Present& p : present) {
        bus.attach(p.busNumber, p.portPath, p.device);
    }
    // What this process found is what it writes over only when it changes it: a process that
    // only looks leaves the state file to those that change the devices.
    for (Placed& placed : scenario.devices) {
        placed.saved = snapshotOf(placed);
        placed.flashWritten = placed.hardware->flash;
    }
}

std::string Scenario::defaultIn(const std::string& home) {
    const std::string path = home + "/scenario.json";
    if (std::ifstream(path).good()) {
        return path;
    }
    for (size_t slash = home.find_first_of(kSlashes, 1);;
         slash = home.find_first_of(kSlashes, slash + 1)) {
#ifdef _WIN32
        _mkdir(home.substr(0, slash).c_str());
#else
        mkdir(home.substr(0, slash).c_str(), 0755);
#endif
        if (slash == std::string::npos) {
            break;
        }
    }
    std::ofstream out(path);
    out << "{\n  \"stateFile\": \"state.json\",\n  \"devices\": [\n"
           "    {\"kind\": \"unit\", \"port\": \"1.4\", \"firmwareVersion\": \"1.0.0\"}\n"
           "  ]\n}\n";
    return path;
}

std::string Scenario::claimFile(uint8_t busNumber, const std::vector<uint8_t>& portPath,
                                int interfaceNumber) {
    VirtualClock::Lock lock;
    for (const Loaded& scenario : loadedScenarios()) {
        for (const Placed& placed : scenario.devices) {
            if (!scenario.stateFile.empty() && placed.busNumber == busNumber &&
                placed.portPath == portPath) {
                return scenario.stateFile + "-" + placed.key + "-" +
                       std::to_string(interfaceNumber) + ".claim";
            }
        }
    }
    return {};
}

void Scenario::saveState() {
    VirtualClock::Lock lock;
    if (loading) {
        return;
    }
    for (Loaded& scenario : loadedScenarios()) {
        if (!scenario.stateFile.empty() && changedSinceSaved(scenario)) {
            saveScenario(scenario);
        }
    }
}

}  // namespace sim
