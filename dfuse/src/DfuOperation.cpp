#include "DfuOperation.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "DfuError.h"
#include "DfuInterface.h"
#include "DfuMemoryMapping.h"
#include "DfuseSession.h"
#include "dfuse/DfuOperationContext.h"
#include "platform/Platform.h"

namespace dfuse {
namespace {

// Block numbers are 16 bits and data blocks start at 2, so the address pointer is moved on
// well before they would wrap.
constexpr uint32_t kBlocksPerPointer = 0x4000;
constexpr uint32_t kFirstDataBlock = 2;

}  // namespace

DfuOperation::DfuOperation(uint32_t operationCode, std::string path, DfuImage image)
    : operationCode_(operationCode),
      path_(std::move(path)),
      image_(std::move(image)),
      error_(kDfuSuccess) {}

DfuOperation::~DfuOperation() {
    stopRequested_ = true;
    std::lock_guard<std::mutex> lock(workerMutex_);
    if (worker_.joinable()) {
        platform::joinWorker(worker_);
    }
}

void DfuOperation::startWorker() {
    std::lock_guard<std::mutex> lock(workerMutex_);
    worker_ = platform::startWorker([this] { run(); });
}

DfuOperation::Outcome DfuOperation::outcome() {
    Outcome result;
    result.error = error_;
    result.percent = percent_;
    // The worker writes the detail before the error code that makes it worth reading.
    if (result.error != kDfuSuccess) {
        result.detail = detail_;
    }
    return result;
}

DfuOperation::Outcome DfuOperation::status() {
    if (finished_.waitMs(0)) {
        std::lock_guard<std::mutex> lock(workerMutex_);
        if (worker_.joinable()) {
            platform::joinWorker(worker_);
        }
    }
    return outcome();
}

DfuOperation::Outcome DfuOperation::stop() {
    stopRequested_ = true;
    {
        std::lock_guard<std::mutex> lock(workerMutex_);
        if (worker_.joinable()) {
            platform::joinWorker(worker_);
        }
    }
    return outcome();
}

void DfuOperation::run() {
    const char* what = operationCode_ == kDfuOperationErase     ? "erasing"
                       : operationCode_ == kDfuOperationUpgrade ? "programming"
                                                                : "starting the firmware of";
    uint32_t code = kDfuSuccess;
    try {
        withContext(std::string(what) + " " + path_, [this] { execute(); });
    } catch (const DfuError& error) {
        detail_ = error.what();
        code = error.code();
    }
    error_ = code;
    // 100 is only ever shown for an operation that ended well.
    if (code == kDfuSuccess) {
        percent_ = 100;
    }
    finished_.set();
}

void DfuOperation::setProgress(uint64_t done) {
    if (totalWork_ == 0) {
        return;
    }
    // Capped at 99: the last percent belongs to the successful end.
    percent_ = uint8_t(std::min<uint64_t>(done * 100 / totalWork_, 99));
}

void DfuOperation::checkStop() const {
    if (stopRequested_) {
        fail(kDfuErrorOperationStopped, "stopped on request");
    }
}

void DfuOperation::execute() {
    std::unique_ptr<DfuInterface> dfu = DfuInterface::open(path_);
    // Refuses an alternate setting the device lacks.
    dfu->select(0, image_.alternate);
    // Only the memory worked on: every string read costs two requests.
    const MemoryLayout layout =
        memoryLayoutOf(dfu->alternateName(image_.alternate), image_.alternate);

    DfuseSession session(*dfu);
    session.ensureIdle();
    try {
        perform(session, layout, dfu->functional());
    } catch (const DfuError&) {
        // A failed or stopped operation leaves the device in dfuIDLE where it can, so that the
        // next run does not meet a half-finished upload or download. The failure itself is
        // what counts.
        try {
            session.ensureIdle();
        } catch (const DfuError&) {
        }
        throw;
    }
}

void DfuOperation::perform(DfuseSession& session, const MemoryLayout& layout,
                           const DfuFunctional& functional) {
    // The launch admits no other operation.
    if (operationCode_ == kDfuOperationErase) {
        erase(session, layout);
    } else if (operationCode_ == kDfuOperationUpgrade) {
        upgrade(session, layout, functional);
    } else {
        if (layout.groups.empty()) {
            fail(kDfuErrorBadMemoryLayout, "the memory \"" + layout.name + "\" has no sector");
        }
        session.leave(layout.groups.front().address);
    }
}

void DfuOperation::erase(DfuseSession& session, const MemoryLayout& layout) {
    const std::vector<Sector> erasable = erasableSectors(image_, layout);
    totalWork_ = erasable.size();
    for (size_t i = 0; i < erasable.size(); ++i) {
        checkStop();
        session.eraseSector(erasable[i].address);
        setProgress(i + 1);
    }
    if (erasable.empty()) {
        return;
    }
    // The last erase's status said dfuDNLOAD-IDLE.
    session.abortToIdle();
}

template <typename Visit>
void DfuOperation::forEachBlock(uint16_t transferSize, Visit&& visit) const {
    for (const ImageElement& element : image_.elements) {
        for (uint64_t offset = 0; offset < element.size; offset += transferSize) {
            checkStop();
            Block block;
            const uint32_t index = uint32_t(offset / transferSize) % kBlocksPerPointer;
            block.address = element.address + uint32_t(offset);
            block.data = element.data.data() + offset;
            block.length = uint16_t(std::min<uint64_t>(transferSize, element.size - offset));
            // A chip may read wTransferSize in the block address formula as the block's own
            // length, which moves a short block numbered past 2: it goes as block 2 behind its
            // own address pointer, where both readings agree.
            const bool shortAfterOthers = block.length < transferSize && index != 0;
            block.first = index == 0 || shortAfterOthers;
            block.number = uint16_t(kFirstDataBlock + (shortAfterOthers ? 0 : index));
            visit(block);
        }
    }
}

void DfuOperation::upgrade(DfuseSession& session, const MemoryLayout& layout,
                           const DfuFunctional& functional) {
    const uint16_t transferSize = functional.wTransferSize;
    imageSectors(image_, layout, kSectorWritable);
    uint64_t bytes = 0;
    for (const ImageElement& element : image_.elements) {
        // An image fitted to erasing names sectors but holds no data to write.
        if (element.data.size() != element.size) {
            fail(kDfuErrorInvalidArgument, "the element at " + hex32(element.address) +
                                               " holds no data (an image fitted to erasing)");
        }
        bytes += element.size;
    }
    // Read-back needs the device's upload support; without it the device's own checks stand.
    const bool readBack = functional.canUpload();
    totalWork_ = readBack ? bytes * 2 : bytes;

    uint64_t done = 0;
    forEachBlock(transferSize, [&](const Block& block) {
        if (block.first) {
            session.setAddressPointer(block.address);
        }
        session.writeBlock(block.number, block.address, block.data, block.length);
        done += block.length;
        setProgress(done);
    });
    // The last block's status said dfuDNLOAD-IDLE, where the read-back may start at once.
    if (readBack) {
        verify(session, transferSize);
    } else {
        session.abortToIdle();
    }
}

void DfuOperation::verify(DfuseSession& session, uint16_t transferSize) {
    uint64_t done = totalWork_ / 2;
    std::vector<uint8_t> read(transferSize);
    bool uploading = false;
    forEachBlock(transferSize, [&](const Block& block) {
        if (block.first) {
            // The address command is taken in dfuDNLOAD-IDLE, where the writes ended, but not in
            // dfuUPLOAD-IDLE; uploads start from dfuIDLE. The pointer is set again even where the
            // writes set it: the boot loader's notes leave open whether writes move it.
            if (uploading) {
                session.abortToIdle();
            }
            session.setAddressPointer(block.address);
            session.abortToIdle();
            uploading = true;
        }
        session.readBlock(block.number, block.address, read.data(), block.length);
        const auto differs = std::mismatch(read.begin(), read.begin() + block.length, block.data);
        if (differs.first != read.begin() + block.length) {
            const uint32_t at = block.address + uint32_t(differs.first - read.begin());
            fail(kDfuErrorVerifyMismatch, "reading back: flash at " + hex32(at) + " holds " +
                                              hex32(*differs.first, 2) + " where the image has " +
                                              hex32(*differs.second, 2) +
                                              " (was that sector erased?)");
        }
        done += block.length;
        setProgress(done);
    });
    session.abortToIdle();
}

}  // namespace dfuse
