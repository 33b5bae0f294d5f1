#include "DfuOperation.h"

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

#include "DfuInterface.h"
#include "DfuMemoryMapping.h"
#include "DfuseSession.h"
#include "dfuse/DfuOperationContext.h"
#include "dfuse/DfuReturnCodes.h"
#include "platform/Platform.h"

namespace dfuse {
namespace {

// Block numbers are 16 bits and data blocks start at 2, so the address pointer is moved on
// well before they would wrap.
constexpr uint32_t kBlocksPerPointer = 0x4000;
constexpr uint32_t kFirstDataBlock = 2;

// The sectors the image touches, or kDfuErrorImageOutsideMemory for data outside the memory
// or, when `needAccess` is given, in sectors without that access.
uint32_t touchedSectors(const DfuImage& image, const MemoryLayout& layout, uint8_t needAccess,
                        std::set<uint32_t>* starts) {
    for (const ImageElement& element : image.elements) {
        uint64_t address = element.address;
        const uint64_t end = uint64_t(element.address) + element.size;
        while (address < end) {
            const SectorGroup* group = findSectorGroup(layout, uint32_t(address));
            if (!group || (group->access & needAccess) != needAccess)
                return kDfuErrorImageOutsideMemory;
            const uint32_t start = sectorStart(*group, uint32_t(address));
            starts->insert(start);
            address = uint64_t(start) + group->size;
        }
    }
    return kDfuSuccess;
}

}  // namespace

DfuOperation::DfuOperation(uint32_t operationCode, std::string path, DfuImage image)
    : operationCode_(operationCode),
      path_(std::move(path)),
      image_(std::move(image)),
      error_(kDfuSuccess) {}

DfuOperation::~DfuOperation() {
    stopRequested_ = true;
    std::lock_guard<std::mutex> lock(workerMutex_);
    if (worker_.joinable())
        platform::joinWorker(worker_);
}

void DfuOperation::startWorker() {
    std::lock_guard<std::mutex> lock(workerMutex_);
    worker_ = platform::startWorker([this] { run(); });
}

void DfuOperation::status(uint8_t* percent, uint32_t* error) {
    if (finished_) {
        std::lock_guard<std::mutex> lock(workerMutex_);
        if (worker_.joinable())
            platform::joinWorker(worker_);
    }
    *error = error_;
    *percent = percent_;
}

void DfuOperation::stop(uint8_t* percent, uint32_t* error) {
    stopRequested_ = true;
    {
        std::lock_guard<std::mutex> lock(workerMutex_);
        if (worker_.joinable())
            platform::joinWorker(worker_);
    }
    *error = error_;
    *percent = percent_;
}

void DfuOperation::run() {
    const uint32_t code = execute();
    error_ = code;
    // 100 is only ever shown for an operation that ended well.
    if (code == kDfuSuccess)
        percent_ = 100;
    finished_ = true;
}

void DfuOperation::setProgress(uint64_t done) {
    if (totalWork_ == 0)
        return;
    // Capped at 99: the last percent belongs to the successful end.
    percent_ = uint8_t(std::min<uint64_t>(done * 100 / totalWork_, 99));
}

uint32_t DfuOperation::execute() {
    std::unique_ptr<DfuInterface> dfu;
    uint32_t code = DfuInterface::open(path_, &dfu);
    if (code != kDfuSuccess)
        return code;
    code = dfu->select(0, image_.alternate);
    if (code != kDfuSuccess)
        return code;
    std::vector<std::string> names;
    code = dfu->alternateNames(&names);
    if (code != kDfuSuccess)
        return code;
    MemoryLayout layout;
    if (image_.alternate >= names.size())
        return kDfuErrorImageOutsideMemory;
    code = parseMemoryLayout(names[image_.alternate], &layout);
    if (code != kDfuSuccess)
        return code;

    DfuseSession session(*dfu);
    code = session.ensureIdle();
    if (code != kDfuSuccess)
        return code;
    code = perform(session, layout, dfu->functional());
    // A failed or stopped operation leaves the device in dfuIDLE where it can, so that the next
    // run does not meet a half-finished upload or download. The failure itself is what counts.
    if (code != kDfuSuccess)
        session.ensureIdle();
    return code;
}

uint32_t DfuOperation::perform(DfuseSession& session, const MemoryLayout& layout,
                               const DfuFunctional& functional) {
    switch (operationCode_) {
        case kDfuOperationErase:
            return erase(session, layout);
        case kDfuOperationUpgrade:
            return upgrade(session, layout, functional);
        case kDfuOperationLeave:
            if (layout.groups.empty())
                return kDfuErrorBadMemoryLayout;
            return session.leave(layout.groups.front().address);
        default:
            return kDfuErrorBadOperation;
    }
}

uint32_t DfuOperation::erase(DfuseSession& session, const MemoryLayout& layout) {
    std::set<uint32_t> sectors;
    uint32_t code = touchedSectors(image_, layout, 0, &sectors);
    if (code != kDfuSuccess)
        return code;
    // Sectors that cannot be erased (such as one-time memory) are programmed without erasing.
    std::vector<uint32_t> erasable;
    for (uint32_t start : sectors) {
        const SectorGroup* group = findSectorGroup(layout, start);
        if (group->access & kSectorErasable)
            erasable.push_back(start);
    }
    totalWork_ = erasable.size();
    for (size_t i = 0; i < erasable.size(); ++i) {
        if (stopRequested())
            return kDfuErrorOperationStopped;
        code = session.eraseSector(erasable[i]);
        if (code != kDfuSuccess)
            return code;
        setProgress(i + 1);
    }
    return session.ensureIdle();
}

uint32_t DfuOperation::upgrade(DfuseSession& session, const MemoryLayout& layout,
                               const DfuFunctional& functional) {
    const uint16_t transferSize = functional.wTransferSize;
    std::set<uint32_t> sectors;
    uint32_t code = touchedSectors(image_, layout, kSectorWritable, &sectors);
    if (code != kDfuSuccess)
        return code;
    uint64_t bytes = 0;
    for (const ImageElement& element : image_.elements) {
        // An image fitted to erasing names sectors but holds no data to write.
        if (element.data.size() != element.size)
            return kDfuErrorInvalidArgument;
        bytes += element.size;
    }
    // Read-back needs the device's upload support; without it the device's own checks stand.
    const bool readBack = functional.canUpload();
    totalWork_ = readBack ? bytes * 2 : bytes;

    uint64_t done = 0;
    for (const ImageElement& element : image_.elements) {
        for (uint64_t offset = 0; offset < element.size; offset += transferSize) {
            if (stopRequested())
                return kDfuErrorOperationStopped;
            const uint32_t index = uint32_t(offset / transferSize) % kBlocksPerPointer;
            if (index == 0) {
                code = session.setAddressPointer(element.address + uint32_t(offset));
                if (code != kDfuSuccess)
                    return code;
            }
            const uint16_t length =
                uint16_t(std::min<uint64_t>(transferSize, element.size - offset));
            code = session.writeBlock(uint16_t(kFirstDataBlock + index),
                                      element.data.data() + offset, length);
            if (code != kDfuSuccess)
                return code;
            done += length;
            setProgress(done);
        }
    }
    code = session.ensureIdle();
    if (code != kDfuSuccess || !readBack)
        return code;
    return verify(session, transferSize);
}

uint32_t DfuOperation::verify(DfuseSession& session, uint16_t transferSize) {
    uint64_t done = totalWork_ / 2;
    std::vector<uint8_t> block(transferSize);
    for (const ImageElement& element : image_.elements) {
        for (uint64_t offset = 0; offset < element.size; offset += transferSize) {
            if (stopRequested())
                return kDfuErrorOperationStopped;
            const uint32_t index = uint32_t(offset / transferSize) % kBlocksPerPointer;
            uint32_t code = kDfuSuccess;
            if (index == 0) {
                // Uploads start from dfuIDLE, which the address command leaves.
                code = session.ensureIdle();
                if (code == kDfuSuccess)
                    code = session.setAddressPointer(element.address + uint32_t(offset));
                if (code == kDfuSuccess)
                    code = session.ensureIdle();
                if (code != kDfuSuccess)
                    return code;
            }
            const uint16_t length =
                uint16_t(std::min<uint64_t>(transferSize, element.size - offset));
            code = session.readBlock(uint16_t(kFirstDataBlock + index), block.data(), length);
            if (code != kDfuSuccess)
                return code;
            if (!std::equal(block.begin(), block.begin() + length, element.data.begin() + offset))
                return kDfuErrorVerifyMismatch;
            done += length;
            setProgress(done);
        }
    }
    return session.ensureIdle();
}

}  // namespace dfuse
