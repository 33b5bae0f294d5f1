#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dfuse/StdfuPrt.h"
#include "platform/Platform.h"
#include "sim/Bus.h"
#include "sim/SimulatedBootloader.h"
#include "sim/UnitHardware.h"

// A simulated STM32 boot loader at bus 1, port 2 of a fresh virtual bus.
class LoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Bus::instance().reset();
        hardware_ = std::make_shared<sim::UnitHardware>();
        loader_ = std::make_shared<sim::SimulatedBootloader>(hardware_);
        sim::Bus::instance().attach(1, {2}, loader_);
    }
    void TearDown() override { sim::Bus::instance().reset(); }

    // Puts a new boot loader with these faults on the port, over the same flash.
    void replaceLoader(const sim::BootloaderFaults& faults) {
        loader_ = std::make_shared<sim::SimulatedBootloader>(hardware_, faults);
        sim::Bus::instance().attach(1, {2}, loader_);
    }

    uint8_t* flashAt(uint32_t address) {
        return hardware_->flash.data() + (address - sim::UnitHardware::kFlashBase);
    }

    static constexpr const char* kPath = "USB-BUS1-PORT2-IF0";
    std::shared_ptr<sim::UnitHardware> hardware_;
    std::shared_ptr<sim::SimulatedBootloader> loader_;
};

// One operation run the way the DFU runner drives it: launch, poll every 100 ms until the
// operation reports an error or 100 %, then stop.
struct OperationRun {
    uint32_t launch = kDfuSuccess;
    uint32_t error = kDfuSuccess;
    uint32_t stop = kDfuSuccess;
    bool stopped = false;
    std::vector<int> percents;
};

inline DfuOperationContext makeContext(uint32_t operation, uint32_t image, const char* path) {
    DfuOperationContext context;
    std::memset(&context, 0, sizeof context);
    context.guid = kDfuInterfaceGuid;
    context.operation = operation;
    context.image = image;
    std::strncpy(context.devicePath, path, sizeof context.devicePath - 1);
    return context;
}

inline OperationRun runOperation(uint32_t operation, uint32_t image,
                                 const char* path = "USB-BUS1-PORT2-IF0") {
    OperationRun run;
    DfuOperationContext context = makeContext(operation, image, path);
    uint32_t handle = 0;
    run.launch = STDFUPRT_LaunchOperation(&context, &handle);
    if (run.launch != kDfuSuccess)
        return run;
    // Bounded: a hung operation fails the test instead of hanging it.
    for (int poll = 0; poll < 20000; ++poll) {
        EXPECT_EQ(STDFUPRT_GetOperationStatus(handle, &context), kDfuSuccess);
        if (context.errorCode != kDfuSuccess) {
            run.error = context.errorCode;
            run.percents.push_back(context.percent);
            return run;
        }
        run.percents.push_back(context.percent);
        if (context.percent >= 100 || operation == kDfuOperationLeave)
            break;
        platform::sleepMs(100);
    }
    if (operation != kDfuOperationLeave) {
        run.stopped = true;
        run.stop = STDFUPRT_StopOperation(handle, &context);
        run.error = context.errorCode;
    }
    return run;
}
