// fuzz_seeds <dir>: writes seed inputs for every fuzz target into <dir>/<target>/, made the way
// the tool meets them: the simulated unit's catalogue and value image, its frames as a load
// reads them (plain and compressed catalogue), its settings as --export writes them, .dfu files
// as unitflash-mkdfu writes them, the simulated boot loader's texts and its answers to an
// erase, an upgrade and a leave. scripts/fuzz.sh --seed merges them into fuzz/corpus/.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BootLoaderInput.h"
#include "DfuOperation.h"
#include "FuzzSupport.h"
#include "sim/Bus.h"
#include "sim/DfuFileWriter.h"
#include "sim/SimulatedBootloader.h"
#include "sim/SimulatedUnit.h"
#include "tarnlib/SettingsModel.h"
#include "tarnlib/UsbTransportV2.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

fs::path root;

void seed(const std::string& target, const std::string& name, const Bytes& bytes) {
    fs::create_directories(root / target);
    std::ofstream out(root / target / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A simulated unit that writes down its answers in fuzz_frame_reader's form: each request
// after the first starts a new answer (0xFF), each packet it sends is its length and bytes.
class RecordingUnit : public sim::SimulatedUnit {
  public:
    RecordingUnit(uint16_t release, Bytes& record)
        : SimulatedUnit(std::make_shared<sim::UnitHardware>(), options(release)), record_(record) {}
    static sim::UnitOptions options(uint16_t release) {
        sim::UnitOptions o;
        o.bcdDevice = release;
        return o;
    }
    int control(const sim::ControlSetup& setup, uint8_t* data, unsigned timeoutMs) override {
        if (requests_++ > 0) {
            record_.push_back(0xFF);
        }
        return SimulatedUnit::control(setup, data, timeoutMs);
    }
    int bulk(uint8_t endpoint, uint8_t* data, int length, int* transferred,
             unsigned timeoutMs) override {
        const int result = SimulatedUnit::bulk(endpoint, data, length, transferred, timeoutMs);
        if ((endpoint & 0x80) != 0 && result == LIBUSB_SUCCESS) {
            record_.push_back(static_cast<uint8_t>(*transferred));
            record_.insert(record_.end(), data, data + *transferred);
        }
        return result;
    }

  private:
    Bytes& record_;
    int requests_ = 0;
};

// A load through the real transport from a unit of each kind of release.
void frameSeeds() {
    for (const uint16_t release : {0x0210, 0x0300}) {
        Bytes record{static_cast<uint8_t>(release >= 0x0300 ? 1 : 0)};
        sim::Bus::instance().reset();
        const auto unit = std::make_shared<RecordingUnit>(release, record);
        sim::Bus::instance().attach(1, {1}, unit);
        {
            trn::UsbTransportV2 transport;
            trn::SettingsModel model(transport);
            model.load();
        }
        seed("fuzz_frame_reader", release >= 0x0300 ? "compressed-load" : "plain-load", record);
        // Options 2 and 3: the payload of one well-formed catalogue frame.
        seed("fuzz_frame_reader", release >= 0x0300 ? "compressed-frame" : "plain-frame",
             join({static_cast<uint8_t>(release >= 0x0300 ? 3 : 2)}, unit->cataloguePayload()));
        sim::Bus::instance().reset();
    }
}

void modelSeeds() {
    const sim::SimulatedUnit unit(std::make_shared<sim::UnitHardware>());
    const Bytes cbor = unit.catalogue().cbor();
    const Bytes& image = unit.image();
    seed("fuzz_cbor", "catalogue", cbor);
    seed("fuzz_catalogue", "catalogue-and-image",
         join(join({static_cast<uint8_t>(cbor.size()), static_cast<uint8_t>(cbor.size() >> 8)},
                   cbor),
              image));
    fuzz::FakeUnit transport(image);
    trn::SettingsModel model(transport);
    model.loadCatalogue(cbor);
    model.readValues(false);
    const Bytes exported = text(model.exportJson(false));  // what --export writes
    seed("fuzz_import", "export", exported);
    seed("fuzz_import", "export-and-image", join(join(exported, {0}), image));
}

void fileSeeds() {
    seed("fuzz_dfu_file", "example",
         join({0}, sim::buildDfuFile(0x08000000, sim::makeExampleFirmware("2.0.0", 1024))));
    sim::DfuTarget flash{0, "Internal Flash", {{0x08000000, Bytes(40, 0x11)}, {0x08004000, {1}}}};
    sim::DfuTarget options{1, "Option Bytes", {{0x1FFFC000, Bytes(16, 0xAA)}}};
    seed("fuzz_dfu_file", "two-targets", join({0}, sim::buildDfuFile({flash, options})));
}

void textSeeds() {
    for (uint8_t alt = 0; alt < sim::SimulatedBootloader::kAlternateSettings; ++alt) {
        seed("fuzz_device_texts", "layout-" + std::to_string(alt),
             join({0}, text(sim::SimulatedBootloader::layoutString(alt))));
    }
    seed("fuzz_device_texts", "layout-mixed",
         join({0}, text("@Mix/0x00000000/2*1Ma/0xffff0000/03*004Bb,1*2Kf  ")));
    seed("fuzz_device_texts", "port", join({1}, text("1.4")));
    seed("fuzz_device_texts", "port-with-bus", join({1}, text("2-1.2.3.4.5.6.7")));
    seed("fuzz_device_texts", "device-path", join({2}, text("USB-BUS1-PORT1.4-IF0")));
}

// The simulated boot loader, writing down its answers to class requests from the device in
// fuzz_boot_loader's form: a stall as 0xFF, else the length and the bytes.
class RecordingLoader : public sim::SimulatedBootloader {
  public:
    explicit RecordingLoader(Bytes& record)
        : SimulatedBootloader(std::make_shared<sim::UnitHardware>()), record_(record) {}
    int control(const sim::ControlSetup& setup, uint8_t* data, unsigned timeoutMs) override {
        const int result = SimulatedBootloader::control(setup, data, timeoutMs);
        if (setup.deviceToHost() && (setup.bmRequestType & 0x60) == LIBUSB_REQUEST_TYPE_CLASS) {
            record_.push_back(result < 0 ? 0xFF : static_cast<uint8_t>(result));
            record_.insert(record_.end(), data, data + std::max(result, 0));
        }
        return result;
    }

  private:
    Bytes& record_;
};

void bootLoaderSeeds() {
    // The simulated boot loader's interface: four alternate settings, the functional
    // descriptor after the last.
    fuzz::BootLoaderInput shape;
    shape.alternates = sim::SimulatedBootloader::kAlternateSettings;
    const Bytes config =
        sim::SimulatedBootloader(std::make_shared<sim::UnitHardware>()).configDescriptor();
    shape.classBytes.assign(config.end() - 9, config.end());
    Bytes record = shape.head();
    const size_t headSize = record.size();
    sim::Bus::instance().reset();
    sim::Bus::instance().attach(1, {1}, std::make_shared<RecordingLoader>(record));
    for (const uint32_t operation : fuzz::kBootLoaderOperations) {
        dfuse::DfuOperation(operation, fuzz::kBootLoaderPath, fuzz::bootLoaderImage()).runHere();
    }
    sim::Bus::instance().reset();
    seed("fuzz_boot_loader", "erase-upgrade-leave", record);
    shape.afterFirst = true;
    shape.alternates = 1;
    seed("fuzz_boot_loader", "one-alternate",
         join(shape.head(), Bytes(record.begin() + headSize, record.end())));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <dir>\n");
        return 2;
    }
    root = argv[1];
    modelSeeds();
    frameSeeds();
    fileSeeds();
    textSeeds();
    bootLoaderSeeds();
    return 0;
}
