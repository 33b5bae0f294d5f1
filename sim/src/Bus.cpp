#include "sim/Bus.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "InterfaceClaims.h"
#include "sim/DfuTiming.h"
#include "sim/Scenario.h"
#include "sim/VirtualClock.h"

namespace sim {

namespace {
BusModel& currentModel() {
    static BusModel* model = new BusModel;  // still read while the process exits
    return *model;
}
}  // namespace

Bus& Bus::instance() {
    // Never destroyed: device models may still be reached while the process exits.
    static Bus* bus = new Bus;
    return *bus;
}

void Bus::reset() {
    VirtualClock::Lock lock;
    for (const auto& attachment : attachments_) {
        attachment->present = false;
        attachment->device->detached();
    }
    attachments_.clear();
    unplugged_.clear();
    lastAddress_.clear();
    VirtualClock::reset();
    DfuTiming::reset();
    currentModel() = BusModel{};
}

uint8_t Bus::nextAddress(uint8_t busNumber) {
    // Address 1 belongs to the root hub, as on a real bus.
    uint8_t& last = lastAddress_[busNumber];
    last = last < 2 || last >= 127 ? 2 : last + 1;
    return last;
}

void Bus::attach(uint8_t busNumber, std::vector<uint8_t> portPath,
                 std::shared_ptr<VirtualDevice> device) {
    if (!device) {
        return;
    }
    VirtualClock::Lock lock;
    unplug(busNumber, portPath);
    unplugged_.erase({busNumber, portPath});
    auto attachment = std::make_shared<Attachment>();
    attachment->busNumber = busNumber;
    attachment->portPath = std::move(portPath);
    attachment->address = nextAddress(busNumber);
    attachment->device = std::move(device);
    attachments_.push_back(attachment);
    attachment->device->attached(*this);
    changed();
}

void Bus::detachLocked(const std::shared_ptr<Attachment>& attachment) {
    attachment->present = false;
    releaseClaims(*attachment);
    attachments_.erase(std::find(attachments_.begin(), attachments_.end(), attachment));
    attachment->device->detached();
    changed();
}

std::shared_ptr<VirtualDevice> Bus::unplug(uint8_t busNumber,
                                           const std::vector<uint8_t>& portPath) {
    VirtualClock::Lock lock;
    for (const auto& attachment : attachments_) {
        if (attachment->busNumber == busNumber && attachment->portPath == portPath) {
            std::shared_ptr<Attachment> keep = attachment;
            detachLocked(keep);
            unplugged_[{busNumber, portPath}] = keep->device;
            return keep->device;
        }
    }
    return nullptr;
}

bool Bus::replug(uint8_t busNumber, const std::vector<uint8_t>& portPath) {
    VirtualClock::Lock lock;
    auto it = unplugged_.find({busNumber, portPath});
    if (it == unplugged_.end()) {
        return false;
    }
    std::shared_ptr<VirtualDevice> device = it->second;
    attach(busNumber, portPath, device);
    return true;
}

void Bus::reenumerate(const VirtualDevice& device, std::shared_ptr<VirtualDevice> replacement,
                      uint32_t delayMs) {
    VirtualClock::Lock lock;
    auto it = std::find_if(attachments_.begin(), attachments_.end(),
                           [&](const auto& a) { return a->device.get() == &device; });
    if (it == attachments_.end()) {
        return;
    }
    std::shared_ptr<Attachment> old = *it;
    detachLocked(old);
    if (replacement) {
        VirtualClock::schedule(
            uint64_t{delayMs} * 1000,
            [this, busNumber = old->busNumber, portPath = old->portPath,
             replacement = std::move(replacement)] { attach(busNumber, portPath, replacement); });
    }
}

std::shared_ptr<VirtualDevice> Bus::deviceAt(uint8_t busNumber,
                                             const std::vector<uint8_t>& portPath) const {
    VirtualClock::Lock lock;
    for (const auto& attachment : attachments_) {
        if (attachment->busNumber == busNumber && attachment->portPath == portPath) {
            return attachment->device;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<Attachment>> Bus::attachments() const {
    VirtualClock::Lock lock;
    return attachments_;
}

bool Bus::empty() const {
    VirtualClock::Lock lock;
    return attachments_.empty();
}

uint64_t Bus::nowUs() const {
    return VirtualClock::nowUs();
}

void Bus::spendUs(uint64_t us) {
    VirtualClock::sleepUs(us);
}

BusModel Bus::model() {
    VirtualClock::Lock lock;
    return currentModel();
}

void Bus::setModel(const BusModel& model) {
    VirtualClock::Lock lock;
    currentModel() = model;
}

uint64_t Bus::transferEndUs(uint64_t startUs, size_t bytes, bool control) {
    const BusModel& m = currentModel();
    const uint64_t perFrame =
        std::max(1u, control ? m.controlPacketsPerFrame : m.bulkPacketsPerFrame);
    const uint64_t packets = (bytes + kPacketBytes - 1) / kPacketBytes;
    const uint64_t frames = std::max<uint64_t>(1, (packets + perFrame - 1) / perFrame);
    return startUs / kFrameUs * kFrameUs + frames * kFrameUs;
}

void Bus::loadScenarioFile(const std::string& path) {
    VirtualClock::Lock lock;
    Scenario::load(*this, path);
}

bool Bus::loadScenarioFromEnvironmentOnce() {
    VirtualClock::Lock lock;
    if (scenarioChecked_) {
        return true;
    }
    scenarioChecked_ = true;
    std::string path;
    if (const char* scenario = std::getenv("UNITFLASH_SIM_SCENARIO"); scenario && *scenario) {
        path = scenario;
    } else if (const char* home = std::getenv("UNITFLASH_SIM_HOME"); home && *home) {
        path = Scenario::defaultIn(home);
    }
    if (path.empty() || !attachments_.empty()) {
        return true;
    }
    try {
        Scenario::load(*this, path);
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "unitflash-sim: scenario %s: %s\n", path.c_str(), e.what());
        return false;
    }
}

void Bus::contextsEnded() {
    changed();
}

void Bus::changed() {
    VirtualClock::Lock lock;
    try {
        Scenario::saveState();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "unitflash-sim: saving the device state: %s\n", e.what());
    }
}

}  // namespace sim
