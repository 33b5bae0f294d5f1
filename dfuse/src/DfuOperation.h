#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "DfuImage.h"
#include "dfuse/DfuOperationContext.h"
#include "dfuse/DfuReturnCodes.h"
#include "dfuse/MemoryLayout.h"
#include "platform/Platform.h"

namespace dfuse {

class DfuInterface;
class DfuseSession;
struct DfuFunctional;

// One erase, upgrade, compare or leave operation on the device at a path, with its own copy of
// the image. Erase, upgrade and compare run on a worker thread and publish progress and the
// outcome through atomics; leave runs on the caller's thread. A compare that ended well fits
// `fitted` to what it found when it is stopped, on the stopping thread.
class DfuOperation {
  public:
    DfuOperation(uint32_t operationCode, std::string path, DfuImage image,
                 std::shared_ptr<DfuImage> fitted = nullptr);
    ~DfuOperation();
    DfuOperation(const DfuOperation&) = delete;
    DfuOperation& operator=(const DfuOperation&) = delete;

    void startWorker();
    void runHere() { run(); }
    bool isLeave() const { return operationCode_ == kDfuOperationLeave; }

    // Where the operation stands: progress, error code, and why it failed in words.
    struct Outcome {
        uint8_t percent = 0;
        uint32_t error = kDfuSuccess;
        std::string detail;
    };
    // The current outcome; joins a worker that has finished.
    Outcome status();
    // Waits up to `ms` milliseconds for the operation to end; returns whether it has.
    bool waitForEnd(uint32_t ms) { return finished_.waitMs(ms); }
    // Asks a running worker to stop, waits for it and gives the final outcome.
    Outcome stop();

  private:
    void run();
    Outcome outcome();
    void execute();
    void perform(DfuseSession& session, const MemoryLayout& layout,
                 const DfuFunctional& functional);
    void erase(DfuseSession& session, const MemoryLayout& layout);
    void upgrade(DfuseSession& session, const MemoryLayout& layout,
                 const DfuFunctional& functional);
    void verify(DfuseSession& session, uint16_t transferSize);
    void compare(DfuseSession& session, const MemoryLayout& layout,
                 const DfuFunctional& functional);
    void checkStop() const;
    // One transfer of the image's data: its block number, where it lands, and whether it is the
    // first after the address pointer must be set.
    struct Block {
        bool first = false;
        uint16_t number = 0;
        uint32_t address = 0;
        const uint8_t* data = nullptr;
        uint16_t length = 0;
    };
    // Visits every block of the image in order, checking for a stop request before each.
    template <typename Visit>
    void forEachBlock(uint16_t transferSize, Visit&& visit) const;
    void setProgress(uint64_t done);
    bool stopRequested() const { return stopRequested_.load(); }

    const uint32_t operationCode_;
    const std::string path_;
    const DfuImage image_;
    uint64_t totalWork_ = 0;
    // A compare's finding, written by the worker before finished_, and the image it goes into.
    DfuImage changed_;
    const std::shared_ptr<DfuImage> fitted_;

    std::atomic<uint8_t> percent_{0};
    std::atomic<uint32_t> error_;
    std::atomic<bool> stopRequested_{false};
    // Set by the worker when it has written its outcome.
    platform::Signal finished_;
    // Written once by the worker before finished_; read after joining it.
    std::string detail_;
    std::mutex workerMutex_;
    std::thread worker_;
};

}  // namespace dfuse
