// A whole default update (backup, trigger, erase, program, verify, leave, restore) of a 1 MiB
// image on the simulated unit and boot loader, with the boot loader's realistic timing.
//
// Reported per run: the simulated duration of the update, the time the device itself needs
// (its typical busy times plus the bus time of the image at full speed, down and back up for
// the verification), the host CPU time (the benchmark's own CPU column) and the peak resident
// memory of the process.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>

#include "Application.h"
#include "sim/Bus.h"
#include "sim/DfuFileWriter.h"
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

// What the device needs for the image at the least: typical sector erase times of the 12
// sectors, 16 us per 32-bit word programmed, and the image moved over the control pipe twice.
double deviceSeconds() {
    const double erase = 4 * 0.25 + 0.55 + 7 * 1.0;
    const double program = kImageSize / 4 * 16e-6;
    const double bus = 2.0 * kImageSize / sim::Bus::kControlBytesPerSecond;
    return erase + program + bus;
}

void BM_DefaultUpdate1MiB(benchmark::State& state) {
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    const std::vector<uint8_t> file = sim::buildDfuFile(
        sim::UnitHardware::kFlashBase, sim::makeExampleFirmware("2.0.0", kImageSize));
    QFile out("firmware.dfu");
    out.open(QIODevice::WriteOnly);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<qint64>(file.size()));
    out.close();

    double simulated = 0;
    for (auto _ : state) {
        state.PauseTiming();
        sim::Bus::instance().reset();
        auto unit = plugInUnit();
        state.ResumeTiming();
        if (!runApplication({"unitflash", "firmware.dfu"})) {
            state.SkipWithError("update failed");
            break;
        }
        simulated = sim::Bus::instance().nowUs() / 1e6;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["simulated_s"] = simulated;
    state.counters["device_s"] = deviceSeconds();
    state.counters["peak_rss_MiB"] = usage.ru_maxrss / 1024.0;
}
BENCHMARK(BM_DefaultUpdate1MiB)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(silentHandler);
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
