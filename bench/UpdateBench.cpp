// A whole default update (backup, trigger, erase, program, verify, leave, restore) of a 1 MiB
// image on the simulated unit and boot loader, with the boot loader's realistic timing.
//
// Reported per run: the simulated duration of the update (simulated_s) and of its DFU part, from
// the first erase request to the request that makes the boot loader leave (dfu_s), each with
// the time the device itself needs (device_s, dfu_device_s: the simulator's typical busy times
// of the sectors and words written plus the bus time of the image at full speed, down and back
// up for the verification), the DFU part's protocol floor (dfu_protocol_floor_s: the device
// floor with the requests DFU 1.1 and DfuSe require, priced by the bus model), the whole
// update's floor (protocol_floor_s: that floor plus the time around the DFU part, which is the
// settings traffic and the waits the update sequence prescribes), the host CPU time of the
// whole process (the benchmark's CPU column) and its peak resident memory. The image holds data
// in every block. scripts/bench.sh sets these beside dfu-util.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>

#include "Application.h"
#include "sim/Bus.h"
#include "sim/DfuFileWriter.h"
#include "sim/DfuTiming.h"
#include "sim/SimulatedBootloader.h"
#include "sim/SimulatedUnit.h"
#include "sim/UnitHardware.h"

namespace {

constexpr size_t kImageSize = 1024 * 1024;

void silentHandler(QtMsgType, const QMessageLogContext&, const QString&) {}

std::shared_ptr<sim::SimulatedUnit> plugInUnit() {
    auto hardware = std::make_shared<sim::UnitHardware>();
    const std::vector<uint8_t> old = sim::makeExampleFirmware("1.0.0");
    std::copy(old.begin(), old.end(), hardware->flash.begin());
    hardware->makeUnit = sim::SimulatedUnit::factory({});
    hardware->makeBootloader = [](std::shared_ptr<sim::UnitHardware> hw) {
        return std::make_shared<sim::SimulatedBootloader>(std::move(hw));
    };
    auto unit = std::make_shared<sim::SimulatedUnit>(hardware);
    sim::Bus::instance().attach(1, {4, 2}, unit);
    return unit;
}

// What the device needs for the image at the least, with the read-back. The whole update's floor
// is the same: the settings traffic and the prescribed waits are not the device's needs.
double deviceSeconds() {
    return sim::deviceFloorUs(sim::UnitHardware::kFlashBase, kImageSize, 2) / 1e6;
}

// Writes firmware.dfu (1 MiB, data in every block) into the current directory.
void writeFirmwareFile() {
    const std::vector<uint8_t> file = sim::buildDfuFile(
        sim::UnitHardware::kFlashBase, sim::makeExampleFirmware("2.0.0", kImageSize, true));
    QFile out("firmware.dfu");
    out.open(QIODevice::WriteOnly);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<qint64>(file.size()));
    out.close();
}

void BM_DefaultUpdate1MiB(benchmark::State& state) {
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    writeFirmwareFile();

    double simulated = 0;
    double dfu = 0;
    const double dfuFloor =
        sim::protocolFloorUs(sim::UnitHardware::kFlashBase, kImageSize, true) / 1e6;
    for (auto _ : state) {
        state.PauseTiming();
        sim::Bus::instance().reset();
        auto unit = plugInUnit();
        state.ResumeTiming();
        if (!unitflash::runApplication({"unitflash", "firmware.dfu"})) {
            state.SkipWithError("update failed");
            break;
        }
        simulated = sim::Bus::instance().nowUs() / 1e6;
        const sim::DfuTiming timing = sim::DfuTiming::snapshot();
        dfu = (timing.leaveUs - timing.firstEraseUs) / 1e6;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["simulated_s"] = simulated;
    state.counters["device_s"] = deviceSeconds();
    state.counters["dfu_s"] = dfu;
    state.counters["dfu_device_s"] = deviceSeconds();
    state.counters["dfu_protocol_floor_s"] = dfuFloor;
    state.counters["protocol_floor_s"] = dfuFloor + (simulated - dfu);
    state.counters["peak_rss_MiB"] = usage.ru_maxrss / 1024.0;
}
// The runner and the device threads work in threads of their own: count the whole process.
BENCHMARK(BM_DefaultUpdate1MiB)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->MeasureProcessCPUTime();

// The same update with --skip-unchanged on a unit that runs that firmware already (a normal
// update, unmeasured, put it there with the unit's settings): only the settings sector differs.
// Reported: simulated_s, dfu_s (the compare's first request to the leave) and the boot loader's
// requests, beside those of the normal update that brought the unit there.
void BM_DefaultUpdateUnchanged1MiB(benchmark::State& state) {
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    writeFirmwareFile();
    double simulated = 0;
    double dfu = 0;
    double requests[2] = {};
    for (auto _ : state) {
        state.PauseTiming();
        sim::Bus::instance().reset();
        auto unit = plugInUnit();
        const bool ready = unitflash::runApplication({"unitflash", "firmware.dfu"});
        requests[0] = double(sim::DfuTiming::snapshot().requests);
        sim::DfuTiming::reset();
        const uint64_t startUs = sim::Bus::instance().nowUs();
        state.ResumeTiming();
        if (!ready || !unitflash::runApplication({"unitflash", "--skip-unchanged", "firmware.dfu"})) {
            state.SkipWithError("update failed");
            break;
        }
        simulated = (sim::Bus::instance().nowUs() - startUs) / 1e6;
        const sim::DfuTiming timing = sim::DfuTiming::snapshot();
        dfu = (timing.leaveUs - timing.firstDownloadUs) / 1e6;
        requests[1] = double(timing.requests);
    }
    state.counters["simulated_s"] = simulated;
    state.counters["dfu_s"] = dfu;
    state.counters["requests"] = requests[1];
    state.counters["requests_normal"] = requests[0];
}
BENCHMARK(BM_DefaultUpdateUnchanged1MiB)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(silentHandler);
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
