#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "sim/Bus.h"
#include "sim/SimulatedBootloader.h"
#include "sim/UnitHardware.h"

// A simulated STM32 boot loader at bus 1, port 2 of a fresh virtual bus.
class LoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Bus::instance().reset();
        sim::Bus::instance().attach(1, {2}, loader_);
    }
    void TearDown() override { sim::Bus::instance().reset(); }

    // Puts a new boot loader with these faults on the port, over the same flash.
    void replaceLoader(const sim::BootloaderFaults& faults) {
        loader_ = std::make_shared<sim::SimulatedBootloader>(hardware_, faults);
        sim::Bus::instance().attach(1, {2}, loader_);
    }

    static constexpr const char* kPath = "USB-BUS1-PORT2-IF0";
    std::shared_ptr<sim::UnitHardware> hardware_ = std::make_shared<sim::UnitHardware>();
    std::shared_ptr<sim::SimulatedBootloader> loader_ =
        std::make_shared<sim::SimulatedBootloader>(hardware_);
};
