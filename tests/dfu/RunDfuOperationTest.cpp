#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "PreparedUpdate.h"
#include "dfu/ReturnToNormalOperation.h"
#include "dfu/RunDfuOperation.h"
#include "dfuse/DfuReturnCodes.h"
#include "dfuse/StdfuFiles.h"
#include "dfuse/StdfuPrt.h"
#include "platform/Platform.h"
#include "sim/DfuFileWriter.h"

namespace {

using Message = std::pair<QtMsgType, std::string>;
std::vector<Message> messages;
uint64_t lastMessageMs = 0;

void capture(QtMsgType type, const QMessageLogContext&, const QString& text) {
    messages.emplace_back(type, text.toStdString());
    lastMessageMs = platform::monotonicMs();
}

enum class Run { kErase, kUpgrade, kResume };

sim::BootloaderFaults withFault(bool sim::BootloaderFaults::*flag) {
    sim::BootloaderFaults faults;
    faults.*flag = true;
    return faults;
}

sim::BootloaderFaults withBusyPoll(uint32_t ms) {
    sim::BootloaderFaults faults;
    faults.busyPollMs = ms;
    return faults;
}

// A boot loader that notes when it last answered a request: the operation's worker ends with
// its last request, so the runner's return can be set against it.
class NotingLoader : public sim::SimulatedBootloader {
  public:
    NotingLoader(std::shared_ptr<sim::UnitHardware> hardware, const sim::BootloaderFaults& faults)
        : SimulatedBootloader(std::move(hardware), faults) {}
    int control(const sim::ControlSetup& setup, uint8_t* data, unsigned timeoutMs) override {
        const int result = SimulatedBootloader::control(setup, data, timeoutMs);
        lastRequestUs = sim::Bus::transferEndUs(sim::Bus::instance().nowUs(), setup.wLength, true);
        return result;
    }
    uint64_t lastRequestUs = 0;
};

// One run of the runner: its result, the message it ends with (its text formatted with the
// code), the window of virtual time from the start of the run to that message, and the most
// time from the device's last answer to the runner's return (0: not checked).
struct Case {
    const char* name;
    Run run;
    sim::BootloaderFaults faults;
    bool ok;
    QtMsgType level;
    const char* text;
    uint32_t code;
    uint64_t minMs;
    uint64_t maxMs;
    uint64_t maxTailUs;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

using F = sim::BootloaderFaults;
// clang-format off
// The runner sees the end of an operation when it happens, well within one 100 ms poll.
constexpr uint64_t kSeesTheEndUs = 1000;
const Case kCases[] = {
    {"EraseToTheEnd", Run::kErase, {}, true, QtInfoMsg, "100 %%", 0, 0, 5000, kSeesTheEndUs},
    {"UpgradeToTheEnd", Run::kUpgrade, {}, true, QtInfoMsg, "100 %%", 0, 0, 5000, kSeesTheEndUs},
    // The worker's error ends the run at once, long before the no-progress limit.
    {"EraseError", Run::kErase, withFault(&F::eraseError), false,
     QtCriticalMsg, "Error during DFU operation 3: %lx", kDfuErrorDeviceErase, 0, 5000,
     kSeesTheEndUs},
    // Each busy answer asks for two minutes: 60 s without progress end the run.
    {"NoProgress", Run::kErase, withBusyPoll(120000), false,
     QtCriticalMsg, "DFU operation 3 made no progress for 60 seconds, stopping it", 0, 60000, 60200,
     0},
    {"NeverIdle", Run::kResume, withFault(&F::errorPersists), false,
     QtCriticalMsg, "unable to clear status!", 0, 0, 5000, 0},
};
// clang-format on

class RunnerTest : public PreparedUpdate, public ::testing::WithParamInterface<Case> {};

TEST_P(RunnerTest, EndsWithItsMessage) {
    const Case& c = GetParam();
    if (c.run != Run::kResume) {
        // An update of the first five sectors.
        prepare({{0x08000000, sim::makeExampleFirmware("7.1.2", 70000)}});
    }
    auto loader = std::make_shared<NotingLoader>(hardware_, c.faults);
    sim::Bus::instance().attach(1, {2}, loader);
    DfuOperationContext context{};
    context.guid = kDfuInterfaceGuid;
    context.operation = c.run == Run::kErase ? kDfuOperationErase : kDfuOperationUpgrade;
    context.image = c.run == Run::kErase ? eraseImage_ : image_;
    std::strncpy(context.devicePath, kPath, sizeof context.devicePath - 1);

    messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(capture);
    const uint64_t start = platform::monotonicMs();
    const bool ok = c.run == Run::kResume ? dfu::returnToNormalOperation({0, {2}})
                                          : dfu::runDfuOperation(context);
    const uint64_t returnedUs = sim::Bus::instance().nowUs();
    qInstallMessageHandler(previous);
    const uint64_t elapsed = lastMessageMs - start;
    if (c.maxTailUs != 0) {
        EXPECT_LE(returnedUs - loader->lastRequestUs, c.maxTailUs);
    }

    EXPECT_EQ(ok, c.ok);
    ASSERT_FALSE(messages.empty());
    const Message last{c.level,
                       QString::asprintf(c.text, static_cast<unsigned long>(c.code)).toStdString()};
    // The runner's own message ends the run; after a code, the line naming its cause follows.
    const auto tail =
        messages.end() - std::min<std::ptrdiff_t>(2, static_cast<std::ptrdiff_t>(messages.size()));
    EXPECT_NE(std::find(tail, messages.end(), last), messages.end()) << messages.back().second;
    EXPECT_GE(elapsed, c.minMs);
    EXPECT_LE(elapsed, c.maxMs);
    // Progress is logged when it changes, and only then.
    int lastPercent = -1;
    int progressLines = 0;
    for (const Message& m : messages) {
        if (m.first == QtInfoMsg) {
            const int percent = std::stoi(m.second);
            EXPECT_GT(percent, lastPercent) << m.second;
            lastPercent = percent;
            ++progressLines;
        }
    }
    if (c.ok) {
        EXPECT_GT(progressLines, 2) << "progress is shown on the way, not only at the end";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RunnerTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
