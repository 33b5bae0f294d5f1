#include "DfuOperation.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "DfuError.h"
#include "DfuInterface.h"
#include "DfuMemoryMapping.h"
#include "DfuseSession.h"
#include "dfuse/DfuOperationContext.h"
#include "platform/Platform.h"

namespace dfuse {

DfuOperation::DfuOperation(uint32_t operationCode, std::string path, DfuImage image,
                           std::shared_ptr<DfuImage> fitted)
    : operationCode_(operationCode),
      path_(std::move(path)),
      image_(std::move(image)),
      fitted_(std::move(fitted)),
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
    Outcome result = outcome();
    if (fitted_ && operationCode_ == kDfuOperationCompare && result.error == kDfuSuccess) {
        *fitted_ = std::move(changed_);
    }
    return result;
}

void DfuOperation::run() {
    const char* what = operationCode_ == kDfuOperationErase     ? "erasing"
                       : operationCode_ == kDfuOperationUpgrade ? "programming"
                       : operationCode_ == kDfuOperationCompare ? "comparing"
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
    } else if (operationCode_ == kDfuOperationCompare) {
        compare(session, layout, functional);
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
        // The index of the block whose address the pointer holds; none yet in this element.
        std::optional<uint64_t> pointerAt;
        for (uint64_t offset = 0; offset < element.size; offset += transferSize) {
            checkStop();
            Block block;
            const uint64_t index = offset / transferSize;
            block.address = element.address + uint32_t(offset);
            block.data = element.data.data() + offset;
            block.length = uint16_t(std::min<uint64_t>(transferSize, element.size - offset));
            if (image_.skipsErasedBlocks &&
                std::all_of(block.data, block.data + block.length,
                            [](uint8_t byte) { return byte == 0xFF; })) {
                continue;
            }
            // A chip may read wTransferSize in the block address formula as the block's own
            // length, which moves a short block numbered past 2: it goes as block 2 behind its
            // own address pointer, where both readings agree.
            block.first = !pointerAt || index - *pointerAt >= kBlocksPerPointer ||
                          block.length < transferSize;
            if (block.first) {
                pointerAt = index;
            }
            block.number = uint16_t(kFirstDataBlock + (index - *pointerAt));
            visit(block);
        }
    }
}

void DfuOperation::upgrade(DfuseSession& session, const MemoryLayout& layout,
                           const DfuFunctional& functional) {
    const uint16_t transferSize = functional.wTransferSize;
    imageSectors(image_, layout, kSectorWritable);
    for (const ImageElement& element : image_.elements) {
        // An image fitted to erasing names sectors but holds no data to write.
        if (element.data.size() != element.size) {
            fail(kDfuErrorInvalidArgument, "the element at " + hex32(element.address) +
                                               " holds no data (an image fitted to erasing)");
        }
    }
    // The blocks sent, which an image of a compare has fewer of than bytes.
    uint64_t bytes = 0;
    forEachBlock(transferSize, [&](const Block& block) { bytes += block.length; });
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

namespace {

// What `sector` holds after an erase and an upgrade with `image`: its data, 0xFF elsewhere.
std::vector<uint8_t> contentAfterUpdate(const DfuImage& image, const Sector& sector) {
    std::vector<uint8_t> content(sector.size, 0xFF);
    const uint64_t end = uint64_t(sector.address) + sector.size;
    for (const ImageElement& element : image.elements) {
        const uint64_t from = std::max<uint64_t>(element.address, sector.address);
        const uint64_t to = std::min<uint64_t>(uint64_t(element.address) + element.size, end);
        if (from < to) {
            std::copy(element.data.begin() + long(from - element.address),
                      element.data.begin() + long(to - element.address),
                      content.begin() + long(from - sector.address));
        }
    }
    return content;
}

}  // namespace

// Each sector is read until its first block that differs, so a sector that changed costs a
// block or two; one that is left as it is costs all of its blocks.
void DfuOperation::compare(DfuseSession& session, const MemoryLayout& layout,
                           const DfuFunctional& functional) {
    if (!functional.canUpload()) {
        fail(kDfuErrorNoUpload, "the device does not offer upload, so its memory cannot be read");
    }
    const uint16_t transferSize = functional.wTransferSize;
    // Only erased sectors end up as the image makes them, whatever they held.
    const std::map<uint32_t, Sector> sectors =
        imageSectors(image_, layout, kSectorReadable | kSectorErasable);
    for (const auto& entry : sectors) {
        totalWork_ += entry.second.size;
    }
    DfuImage changed{image_.alternate, image_.name, {}, true};
    MemoryReader reader(session, transferSize);
    std::vector<uint8_t> read(transferSize);
    uint64_t done = 0;
    for (const auto& [address, sector] : sectors) {
        const std::vector<uint8_t> wanted = contentAfterUpdate(image_, sector);
        bool same = true;
        for (uint32_t offset = 0; same && offset < sector.size; offset += transferSize) {
            checkStop();
            const auto length = uint16_t(std::min<uint32_t>(transferSize, sector.size - offset));
            reader.read(address + offset, read.data(), length);
            same = std::equal(read.begin(), read.begin() + length, wanted.begin() + offset);
        }
        if (!same) {
            // Neighbours in one element: the upgrade sets one address pointer for them.
            std::vector<ImageElement>& elements = changed.elements;
            if (elements.empty() ||
                uint64_t(elements.back().address) + elements.back().size != address) {
                elements.push_back(ImageElement{address, 0, {}});
            }
            elements.back().size += sector.size;
            elements.back().data.insert(elements.back().data.end(), wanted.begin(), wanted.end());
        }
        done += sector.size;
        setProgress(done);
    }
    reader.finish();
    changed_ = std::move(changed);
}

}  // namespace dfuse
