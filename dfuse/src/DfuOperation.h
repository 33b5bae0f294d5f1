#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "DfuImage.h"
#include "dfuse/MemoryLayout.h"

namespace dfuse {

class DfuInterface;
class DfuseSession;
struct DfuFunctional;

// One erase, upgrade or leave operation on the device at a path, with its own copy of the
// image. Erase and upgrade run on a worker thread and publish progress and the outcome through
// atomics; leave runs on the caller's thread.
class DfuOperation {
  public:
    DfuOperation(uint32_t operationCode, std::string path, DfuImage image);
    ~DfuOperation();
    DfuOperation(const DfuOperation&) = delete;
    DfuOperation& operator=(const DfuOperation&) = delete;

    void startWorker();
    void runHere() { run(); }

    // The current progress and error code; joins a worker that has finished.
    void status(uint8_t* percent, uint32_t* error);
    // Asks a running worker to stop, waits for it and gives the final progress and error code.
    void stop(uint8_t* percent, uint32_t* error);

  private:
    void run();
    uint32_t execute();
    uint32_t perform(DfuseSession& session, const MemoryLayout& layout,
                     const DfuFunctional& functional);
    uint32_t erase(DfuseSession& session, const MemoryLayout& layout);
    uint32_t upgrade(DfuseSession& session, const MemoryLayout& layout,
                     const DfuFunctional& functional);
    uint32_t verify(DfuseSession& session, uint16_t transferSize);
    void setProgress(uint64_t done);
    bool stopRequested() const { return stopRequested_.load(); }

    const uint32_t operationCode_;
    const std::string path_;
    const DfuImage image_;
    uint64_t totalWork_ = 0;

    std::atomic<uint8_t> percent_{0};
    std::atomic<uint32_t> error_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> finished_{false};
    std::mutex workerMutex_;
    std::thread worker_;
};

}  // namespace dfuse
