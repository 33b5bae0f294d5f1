#include "dfu/FirmwareUpdate.h"

#include <QDebug>

#include <algorithm>
#include <optional>

#include "DfuContext.h"
#include "DfuFailure.h"
#include "ScopedDfuHandle.h"
#include "dfu/FindDfuDevices.h"
#include "dfu/ReturnToNormalOperation.h"
#include "dfu/RunDfuOperation.h"
#include "dfuse/DfuReturnCodes.h"
#include "dfuse/StdfuFiles.h"
#include "dfuse/StdfuPrt.h"
#include "platform/Interrupt.h"
#include "platform/Platform.h"
#include "usb/DeviceIds.h"

namespace dfu {

namespace {

// A unit re-enumerates as its boot loader some time after the trigger, often later than the
// wait before the first look, and its device node may not be accessible at once (udev applies
// permissions after it appears); keep looking for this long before going on with what is there.
constexpr int kDeviceSearchAttempts = 50;
constexpr uint32_t kDeviceSearchIntervalMs = 100;

// The vendors a firmware file may name in its DFU suffix: any (0xFFFF), the chip maker's boot
// loader, or the unit itself. A file for another maker's device is not meant for this unit, and
// a unit running it could no longer be sent into its boot loader by this tool. Any product is
// accepted: a maker's files name either the unit or the boot loader.
constexpr uint16_t kAnyVendor = 0xFFFF;

bool canOpen(const QString& path) {
    ScopedDevice device;
    return STDFU_Open(path.toLatin1().constData(), device.out()) == kDfuSuccess;
}

QStringList waitForDfuDevice(const usb::PortPath& port) {
    QStringList devices;
    QStringList logged;
    for (int attempt = 0; attempt < kDeviceSearchAttempts; ++attempt) {
        if (attempt > 0) {
            platform::sleepMs(kDeviceSearchIntervalMs);
        }
        devices = findDfuDevices(&logged);
        const std::optional<QString> device = firstDfuDeviceOn(devices, port);
        if ((device && canOpen(*device)) || platform::interruptRequested) {
            break;
        }
    }
    return devices;
}

struct Element {
    uint32_t index;
    uint32_t address;
    uint32_t size;
};

// The image's elements in file order; nothing, after saying why, when they cannot be read.
std::optional<std::vector<Element>> imageElements(uint32_t image) {
    uint32_t count = 0;
    if (dfuFailed(STDFUFILES_GetImageNbElement(image, &count),
                  "unable to read the elements of the image!")) {
        return std::nullopt;
    }
    std::vector<Element> elements;
    for (uint32_t i = 0; i < count; ++i) {
        Element element{i, 0, 0};
        if (dfuFailed(STDFUFILES_GetImageElement(image, i, &element.address, &element.size),
                      "unable to read the elements of the image!")) {
            return std::nullopt;
        }
        elements.push_back(element);
    }
    return elements;
}

// A firmware image writes each byte once: no element may be missing or cover another.
bool checkElements(uint32_t image) {
    std::optional<std::vector<Element>> elements = imageElements(image);
    if (!elements) {
        return false;
    }
    if (elements->empty()) {
        qCritical("The image of the dfu file has no element: there is nothing to program");
        return false;
    }
    for (const Element& element : *elements) {
        if (element.size == 0) {
            qCritical("Element %u at 0x%08x is empty: the dfu file is damaged", element.index,
                      element.address);
            return false;
        }
    }
    std::sort(elements->begin(), elements->end(),
              [](const Element& a, const Element& b) { return a.address < b.address; });
    for (size_t i = 1; i < elements->size(); ++i) {
        const Element& before = (*elements)[i - 1];
        const Element& after = (*elements)[i];
        if (uint64_t(before.address) + before.size > after.address) {
            qCritical("Element %u at 0x%08x overlaps element %u at 0x%08x (%u bytes)", after.index,
                      after.address, before.index, before.address, before.size);
            return false;
        }
    }
    return true;
}

// Opens the file and reads its first image, logging why when it cannot.
bool readFirmware(const QString& dfuFile, ScopedFile& file, ScopedImage& image) {
    const QByteArray path = dfuFile.toUtf8();
    uint16_t vendor = kAnyVendor;
    const uint32_t opened = STDFUFILES_OpenExistingDFUFile(path.constData(), file.out(), &vendor,
                                                           nullptr, nullptr, nullptr);
    if (opened != kDfuSuccess) {
        qCritical("Error opening dfu file (%s): 0x%08lx", path.constData(),
                  static_cast<unsigned long>(opened));
        logDfuCause(opened);
        return false;
    }
    if (vendor != kAnyVendor && vendor != usb::kBootloaderVendorId &&
        vendor != usb::kUnitVendorId) {
        qCritical(
            "The dfu file is made for a device of vendor 0x%04x, not for this unit (0x%04x) or "
            "its boot loader (0x%04x): refusing to program it",
            vendor, usb::kUnitVendorId, usb::kBootloaderVendorId);
        return false;
    }
    if (dfuFailed(STDFUFILES_ReadImageFromDFUFile(file.get(), 0, image.out()),
                  "unable to image from dfu file!")) {
        return false;
    }
    return checkElements(image.get());
}

// The device the update programs, once it shows up; nothing, after saying why, without one.
std::optional<QString> chooseDevice(const usb::PortPath& port) {
    const QStringList devices = waitForDfuDevice(port);
    qDebug() << "device list:" << devices;
    if (platform::interruptRequested) {
        return std::nullopt;
    }
    return pickDfuDevice(devices, port, "Cannot update device: no DFU device detected!");
}

// Firmware lives in the internal flash; an image for another memory (option bytes, OTP) or
// reaching beyond the writable sectors is refused before anything is erased.
bool imageFitsFlash(uint32_t image, DfuMapping mapping) {
    uint8_t alternate = 0;
    char memory[256] = {};
    if (STDFUFILES_GetImageAlternate(image, &alternate) != kDfuSuccess ||
        STDFUPRT_GetMemoryName(mapping, alternate, memory, sizeof memory) != kDfuSuccess ||
        !QByteArray(memory).startsWith("Internal Flash")) {
        qCritical(
            "The image is for alternate setting %i (\"%s\"), not the internal flash: "
            "refusing to program it",
            alternate, memory);
        return false;
    }
    const std::optional<std::vector<Element>> elements = imageElements(image);
    if (!elements) {
        return false;
    }
    for (const Element& element : *elements) {
        uint32_t outside = element.address;
        if (STDFUPRT_CheckWritable(mapping, alternate, element.address, element.size, &outside) !=
            kDfuSuccess) {
            qCritical(
                "Element %u at 0x%08x (%u bytes) reaches 0x%08x, outside the writable "
                "sectors of the internal flash: refusing to program it",
                element.index, element.address, element.size, outside);
            return false;
        }
    }
    return true;
}

// A copy of the image fitted to erasing: the sectors its data touches.
bool prepareErase(uint32_t image, DfuMapping mapping, ScopedImage& eraseImage) {
    return !dfuFailed(STDFUFILES_DuplicateImage(image, eraseImage.out()), "duplication error") &&
           !dfuFailed(
               STDFUFILES_FilterImageForOperation(eraseImage.get(), mapping, kDfuOperationErase, 0),
               "filter for erasing failed");
}

// How many sectors an erase of the image clears; nothing, after saying why, when unknown.
std::optional<uint32_t> sectorsToErase(uint32_t image, DfuMapping mapping) {
    ScopedImage eraseImage;
    uint32_t count = 0;
    if (!prepareErase(image, mapping, eraseImage) ||
        dfuFailed(STDFUFILES_GetImageNbElement(eraseImage.get(), &count),
                  "unable to read the elements of the image!")) {
        return std::nullopt;
    }
    return count;
}

// The erase and the programming work on the sectors a compare found changed, or without one on
// every sector the image covers.
ScopedImage& toWrite(ScopedImage& changed, ScopedImage& image) {
    return changed.get() != 0 ? changed : image;
}

// Runs one operation with `image` and then releases the image, each failure said in its words.
bool runWith(DfuOperationContext& context, uint32_t operation, ScopedImage& image,
             const char* start, const char* failed, const char* releaseFailed) {
    context.operation = operation;
    context.image = image.get();
    qDebug("%s", start);
    if (!runDfuOperation(context)) {
        qCritical("%s", failed);
        return false;
    }
    return !dfuFailed(image.release(), releaseFailed);
}

}  // namespace

bool checkFirmwareFile(const QString& dfuFile) {
    ScopedFile file;
    ScopedImage image;
    return readFirmware(dfuFile, file, image);
}

// What the steps hand on to each other: the file and its image, the device chosen with its
// operation context and memory map, and the port the leave goes to.
struct FirmwareUpdate::Held {
    QString dfuFile;
    ScopedFile file;
    ScopedImage image;
    DfuOperationContext context{};
    ScopedMapping mapping;
    usb::PortPath devicePort;
    // After a compare: the sectors that do not hold the image yet, which are all that the erase
    // and the programming work on.
    ScopedImage changed;
};

FirmwareUpdate::FirmwareUpdate(const QString& dfuFile) : held_(std::make_unique<Held>()) {
    held_->dfuFile = dfuFile;
}

FirmwareUpdate::~FirmwareUpdate() = default;

bool FirmwareUpdate::findBootloader(const usb::PortPath& port) {
    qDebug("Starting firmware update");
    if (!readFirmware(held_->dfuFile, held_->file, held_->image)) {
        return false;
    }
    qDebug("Firmware file read successfully");
    const std::optional<QString> device = chooseDevice(port);
    if (!device) {
        return false;
    }
    // The leave goes to exactly the device programmed here.
    held_->devicePort = dfuDevicePort(*device);
    held_->context = makeDfuContext(*device);
    uint32_t alternates = 0;
    return !dfuFailed(STDFUPRT_CreateMappingFromDevice(held_->context.devicePath,
                                                       held_->mapping.out(), &alternates),
                      "unable to create mapping");
}

bool FirmwareUpdate::checkImage() {
    if (imageFitsFlash(held_->image.get(), held_->mapping.get())) {
        return true;
    }
    if (returnToNormalOperation(held_->devicePort)) {
        stage_ = UpdateStage::kLeftUnchanged;
    }
    return false;
}

bool FirmwareUpdate::compare() {
    DfuOperationContext& context = held_->context;
    if (dfuFailed(STDFUFILES_DuplicateImage(held_->image.get(), held_->changed.out()),
                  "duplication error")) {
        return false;
    }
    context.operation = kDfuOperationCompare;
    context.image = held_->changed.get();
    qDebug("Start comparing...");
    if (!runDfuOperation(context, {kDfuErrorReadProtected, kDfuErrorNoUpload})) {
        if (context.errorCode != kDfuErrorReadProtected && context.errorCode != kDfuErrorNoUpload) {
            qCritical("compare operation failed.");
            return false;
        }
        qWarning(
            "The flash cannot be read to compare it with the image (%s): every sector the image "
            "covers is erased and programmed",
            dfuReturnCodeName(context.errorCode));
        return !dfuFailed(held_->changed.release(), "deleting compare image failed.");
    }
    const std::optional<uint32_t> covered =
        sectorsToErase(held_->image.get(), held_->mapping.get());
    const std::optional<uint32_t> changed =
        sectorsToErase(held_->changed.get(), held_->mapping.get());
    if (!covered || !changed) {
        return false;
    }
    qInfo("%u of the %u sectors the image covers already hold it and are left as they are",
          *covered - *changed, *covered);
    return true;
}

bool FirmwareUpdate::erase() {
    ScopedImage eraseImage;
    if (!prepareErase(toWrite(held_->changed, held_->image).get(), held_->mapping.get(),
                      eraseImage)) {
        return false;
    }
    stage_ = UpdateStage::kFlashChanging;
    if (!runWith(held_->context, kDfuOperationErase, eraseImage, "Start erasing...",
                 "erase operation failed.", "deleting erase image failed.")) {
        noteRefusal();
        return false;
    }
    return true;
}

bool FirmwareUpdate::program() {
    if (!runWith(held_->context, kDfuOperationUpgrade, toWrite(held_->changed, held_->image),
                 "Start upgrade...", "upgrade operation failed.",
                 "destroying upgrade image failed.")) {
        noteRefusal();
        return false;
    }
    stage_ = UpdateStage::kFlashWritten;
    return true;
}

// A read-protected chip refuses the erase without changing anything.
void FirmwareUpdate::noteRefusal() {
    if (held_->context.errorCode == kDfuErrorReadProtected) {
        stage_ = UpdateStage::kReadProtected;
    }
}

bool FirmwareUpdate::leave() {
    if (!returnToNormalOperation(held_->devicePort)) {
        return false;
    }
    stage_ = UpdateStage::kLeftProgrammed;
    return true;
}

}  // namespace dfu
