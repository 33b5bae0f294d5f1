#include "dfu/FirmwareUpdate.h"

#include <QDebug>

#include "DfuContext.h"
#include "ScopedDfuHandle.h"
#include "dfu/FindDfuDevices.h"
#include "dfu/ReturnToNormalOperation.h"
#include "dfu/RunDfuOperation.h"
#include "dfuse/StdfuFiles.h"
#include "dfuse/StdfuPrt.h"
#include "platform/Platform.h"

namespace {

// A unit re-enumerates as its boot loader some time after the trigger, often later than the
// wait before the first look; keep looking for this long before giving up.
constexpr int kDeviceSearchAttempts = 50;
constexpr uint32_t kDeviceSearchIntervalMs = 100;

QStringList waitForDfuDevices() {
    QStringList devices = findDfuDevices();
    for (int attempt = 1; devices.isEmpty() && attempt < kDeviceSearchAttempts; ++attempt) {
        platform::sleepMs(kDeviceSearchIntervalMs);
        devices = findDfuDevices();
    }
    return devices;
}

// Opens the file and reads its first image, logging why when it cannot.
bool readFirmware(const QString& dfuFile, ScopedFile& file, ScopedImage& image) {
    const QByteArray path = dfuFile.toUtf8();
    const uint32_t opened = STDFUFILES_OpenExistingDFUFile(path.constData(), file.out(), nullptr,
                                                           nullptr, nullptr, nullptr);
    if (opened != kDfuSuccess) {
        qCritical("Error opening dfu file (%s): 0x%08lx", path.constData(),
                  static_cast<unsigned long>(opened));
        return false;
    }
    if (STDFUFILES_ReadImageFromDFUFile(file.get(), 0, image.out()) != kDfuSuccess) {
        qCritical("unable to image from dfu file!");
        return false;
    }
    return true;
}

}  // namespace

bool checkFirmwareFile(const QString& dfuFile) {
    ScopedFile file;
    ScopedImage image;
    return readFirmware(dfuFile, file, image);
}

bool updateFirmware(const QString& dfuFile) {
    qDebug("Starting firmware update");
    ScopedFile file;
    ScopedImage fileImage;
    if (!readFirmware(dfuFile, file, fileImage)) {
        return false;
    }
    qDebug("Firmware file read successfully");

    const QStringList devices = waitForDfuDevices();
    qDebug() << "device list:" << devices;
    if (devices.isEmpty()) {
        qCritical("Cannot update device: no DFU device detected!");
        return false;
    }
    DfuOperationContext context = makeDfuContext(devices.first());
    ScopedMapping mapping;
    uint32_t alternates = 0;
    if (STDFUPRT_CreateMappingFromDevice(context.devicePath, mapping.out(), &alternates) !=
        kDfuSuccess) {
        qCritical("unable to create mapping");
        return false;
    }
    ScopedImage eraseImage;
    if (STDFUFILES_DuplicateImage(fileImage.get(), eraseImage.out()) != kDfuSuccess) {
        qCritical("duplication error");
        return false;
    }
    if (STDFUFILES_FilterImageForOperation(eraseImage.get(), mapping.get(), kDfuOperationErase,
                                           0) != kDfuSuccess) {
        qCritical("filter for erasing failed");
        return false;
    }

    context.operation = kDfuOperationErase;
    context.image = eraseImage.get();
    qDebug("Start erasing...");
    if (!runDfuOperation(context)) {
        qCritical("erase operation failed.");
        return false;
    }
    if (eraseImage.release() != kDfuSuccess) {
        qCritical("deleting erase image failed.");
        return false;
    }

    context.operation = kDfuOperationUpgrade;
    context.image = fileImage.get();
    qDebug("Start upgrade...");
    if (!runDfuOperation(context)) {
        qCritical("upgrade operation failed.");
        return false;
    }
    if (fileImage.release() != kDfuSuccess) {
        qCritical("destroying upgrade image failed.");
        return false;
    }
    return returnToNormalOperation();
}
