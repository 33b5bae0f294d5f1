#include "dfu/ReturnToNormalOperation.h"

#include <QDebug>

#include "DfuContext.h"
#include "ScopedDfuHandle.h"
#include "dfu/FindDfuDevices.h"
#include "dfu/RunDfuOperation.h"
#include "dfuse/Stdfu.h"
#include "dfuse/StdfuFiles.h"
#include "dfuse/StdfuPrt.h"

namespace {

constexpr uint8_t kDfuIdle = 2;
// A device that is not idle after this many clear-status requests will not become idle.
constexpr int kMaxClearStatus = 10;

bool bringToIdle(const QString& path) {
    ScopedDevice device;
    if (STDFU_Open(path.toLatin1().constData(), device.out()) != kDfuSuccess) {
        qCritical("unable to open device!");
        return false;
    }
    uint32_t handle = device.get();
    if (STDFU_SelectCurrentConfiguration(&handle, 0, 0, 1) != kDfuSuccess) {
        qCritical("unable to select cfg!");
        return false;
    }
    DfuStatus status{};
    if (STDFU_Getstatus(&handle, &status) != kDfuSuccess) {
        qCritical("unable to get status!");
        return false;
    }
    qDebug() << "dfu state:" << int(status.bState);
    for (int clears = 0; status.bState != kDfuIdle; ++clears) {
        if (clears == kMaxClearStatus) {
            qCritical("device did not become idle after %i clear-status requests (state %i)",
                      kMaxClearStatus, status.bState);
            return false;
        }
        if (STDFU_Clrstatus(&handle) != kDfuSuccess) {
            qCritical("unable to clear status!");
            return false;
        }
        if (STDFU_Getstatus(&handle, &status) != kDfuSuccess) {
            qCritical("unable to get status!");
            return false;
        }
        qDebug() << "dfu state:" << int(status.bState);
    }
    if (device.release() != kDfuSuccess) {
        qCritical("unable to close device!");
        return false;
    }
    return true;
}

}  // namespace

bool returnToNormalOperation() {
    const QStringList devices = findDfuDevices();
    qDebug() << "device list:" << devices;
    if (devices.isEmpty()) {
        qCritical("Cannot return device to normal operation: no device in update-mode detected!");
        return false;
    }
    if (!bringToIdle(devices.first())) {
        return false;
    }

    DfuOperationContext context = makeDfuContext(devices.first());
    ScopedMapping mapping;
    uint32_t alternates = 0;
    const uint32_t mapped =
        STDFUPRT_CreateMappingFromDevice(context.devicePath, mapping.out(), &alternates);
    qDebug() << "alternates:" << alternates;
    if (mapped != kDfuSuccess) {
        qCritical("unable to create mapping");
        return false;
    }
    ScopedImage image;
    if (STDFUFILES_CreateImageFromMapping(image.out(), mapping.get()) != kDfuSuccess) {
        qCritical("unable to create image");
        return false;
    }
    context.operation = kDfuOperationLeave;
    context.image = image.get();
    qDebug("Return to normal operation...");
    const bool ok = runDfuOperation(context);
    if (!ok) {
        qCritical("Failed to resume normal operation!");
    }
    return ok;
}
