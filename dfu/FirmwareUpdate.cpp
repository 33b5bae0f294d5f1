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
#include "dfuse/MemoryLayout.h"
#include "dfuse/StdfuFiles.h"
#include "dfuse/StdfuPrt.h"
#include "platform/Interrupt.h"
#include "platform/Platform.h"

namespace {

// A unit re-enumerates as its boot loader some time after the trigger, often later than the
// wait before the first look, and its device node may not be accessible at once (udev applies
// permissions after it appears); keep looking for this long before going on with what is there.
constexpr int kDeviceSearchAttempts = 50;
constexpr uint32_t kDeviceSearchIntervalMs = 100;

bool canOpen(const QString& path) {
    ScopedDevice device;
    return STDFU_Open(path.toLatin1().constData(), device.out()) == kDfuSuccess;
}

QStringList waitForDfuDevice(const std::vector<uint8_t>& port) {
    QStringList devices;
    for (int attempt = 0; attempt < kDeviceSearchAttempts; ++attempt) {
        if (attempt > 0) {
            platform::sleepMs(kDeviceSearchIntervalMs);
        }
        devices = findDfuDevices();
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

std::vector<Element> imageElements(uint32_t image) {
    uint32_t count = 0;
    std::vector<Element> elements;
    if (STDFUFILES_GetImageNbElement(image, &count) != kDfuSuccess) {
        return elements;
    }
    for (uint32_t i = 0; i < count; ++i) {
        Element element{i, 0, 0};
        if (STDFUFILES_GetImageElement(image, i, &element.address, &element.size) == kDfuSuccess) {
            elements.push_back(element);
        }
    }
    return elements;
}

// A firmware image writes each byte once: no element may be missing or cover another.
bool checkElements(uint32_t image) {
    std::vector<Element> elements = imageElements(image);
    if (elements.empty()) {
        qCritical("The image of the dfu file has no element: there is nothing to program");
        return false;
    }
    std::sort(elements.begin(), elements.end(),
              [](const Element& a, const Element& b) { return a.address < b.address; });
    for (size_t i = 1; i < elements.size(); ++i) {
        const Element& before = elements[i - 1];
        const Element& after = elements[i];
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
    const uint32_t opened = STDFUFILES_OpenExistingDFUFile(path.constData(), file.out(), nullptr,
                                                           nullptr, nullptr, nullptr);
    if (opened != kDfuSuccess) {
        qCritical("Error opening dfu file (%s): 0x%08lx", path.constData(),
                  static_cast<unsigned long>(opened));
        logDfuCause(opened);
        return false;
    }
    if (dfuFailed(STDFUFILES_ReadImageFromDFUFile(file.get(), 0, image.out()),
                  "unable to image from dfu file!")) {
        return false;
    }
    return checkElements(image.get());
}

// Firmware lives in the internal flash; an image for another memory (option bytes, OTP) or
// reaching beyond the writable sectors is refused before anything is erased.
bool imageFitsFlash(uint32_t image, DfuMapping mapping) {
    uint8_t alternate = 0;
    const dfuse::MemoryLayout* layout = nullptr;
    if (STDFUFILES_GetImageAlternate(image, &alternate) == kDfuSuccess) {
        layout = dfuse::mappingLayout(mapping, alternate);
    }
    if (!layout || layout->name.rfind("Internal Flash", 0) != 0) {
        qCritical(
            "The image is for alternate setting %i (\"%s\"), not the internal flash: "
            "refusing to program it",
            alternate, layout ? layout->name.c_str() : "");
        return false;
    }
    for (const Element& element : imageElements(image)) {
        const std::optional<uint32_t> outside = dfuse::firstAddressWithout(
            *layout, element.address, element.size, dfuse::kSectorWritable);
        if (outside) {
            qCritical(
                "Element %u at 0x%08x (%u bytes) reaches 0x%08x, outside the writable "
                "sectors of the internal flash: refusing to program it",
                element.index, element.address, element.size, *outside);
            return false;
        }
    }
    return true;
}

}  // namespace

bool checkFirmwareFile(const QString& dfuFile) {
    ScopedFile file;
    ScopedImage image;
    return readFirmware(dfuFile, file, image);
}

bool updateFirmware(const QString& dfuFile, const std::vector<uint8_t>& port,
                    UpdateStage* reached) {
    UpdateStage ignored = UpdateStage::kNotStarted;
    UpdateStage& stage = reached ? *reached : ignored;
    stage = UpdateStage::kNotStarted;
    qDebug("Starting firmware update");
    ScopedFile file;
    ScopedImage fileImage;
    if (!readFirmware(dfuFile, file, fileImage)) {
        return false;
    }
    qDebug("Firmware file read successfully");

    const QStringList devices = waitForDfuDevice(port);
    qDebug() << "device list:" << devices;
    if (platform::interruptRequested) {
        return false;
    }
    const std::optional<QString> device =
        pickDfuDevice(devices, port, "Cannot update device: no DFU device detected!");
    if (!device) {
        return false;
    }
    // The leave goes to exactly the device programmed here.
    const std::vector<uint8_t> devicePort = dfuDevicePort(*device);
    DfuOperationContext context = makeDfuContext(*device);
    ScopedMapping mapping;
    uint32_t alternates = 0;
    if (dfuFailed(STDFUPRT_CreateMappingFromDevice(context.devicePath, mapping.out(), &alternates),
                  "unable to create mapping")) {
        return false;
    }
    if (!imageFitsFlash(fileImage.get(), mapping.get())) {
        if (returnToNormalOperation(devicePort)) {
            stage = UpdateStage::kLeftUnchanged;
        }
        return false;
    }
    ScopedImage eraseImage;
    if (dfuFailed(STDFUFILES_DuplicateImage(fileImage.get(), eraseImage.out()),
                  "duplication error") ||
        dfuFailed(STDFUFILES_FilterImageForOperation(eraseImage.get(), mapping.get(),
                                                     kDfuOperationErase, 0),
                  "filter for erasing failed")) {
        return false;
    }

    context.operation = kDfuOperationErase;
    context.image = eraseImage.get();
    qDebug("Start erasing...");
    stage = UpdateStage::kFlashChanging;
    if (!runDfuOperation(context)) {
        qCritical("erase operation failed.");
        return false;
    }
    if (dfuFailed(eraseImage.release(), "deleting erase image failed.")) {
        return false;
    }

    context.operation = kDfuOperationUpgrade;
    context.image = fileImage.get();
    qDebug("Start upgrade...");
    if (!runDfuOperation(context)) {
        qCritical("upgrade operation failed.");
        return false;
    }
    if (dfuFailed(fileImage.release(), "destroying upgrade image failed.")) {
        return false;
    }
    stage = UpdateStage::kFlashWritten;
    // Even when interrupted by now: the leave is short and leaves the unit running.
    if (!returnToNormalOperation(devicePort)) {
        return false;
    }
    stage = UpdateStage::kLeftProgrammed;
    return true;
}
