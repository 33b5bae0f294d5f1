#include "dfu/ReturnToNormalOperation.h"

#include <QDebug>

#include "DfuContext.h"
#include "DfuFailure.h"
#include "ScopedDfuHandle.h"
#include "dfu/FindDfuDevices.h"
#include "dfu/RunDfuOperation.h"
#include "dfuse/Stdfu.h"
#include "dfuse/StdfuFiles.h"
#include "dfuse/StdfuPrt.h"

namespace dfu {

namespace {

void logState(const DfuStatus& status) {
    qDebug() << "dfu state:" << int(status.bState);
}

// Leaves the device in dfuIDLE, whatever state an earlier run left it in; the device is asked
// through a handle of its own, closed before the leave opens it again.
bool makeIdle(const QString& path) {
    ScopedDevice device;
    if (dfuFailed(STDFU_Open(path.toLatin1().constData(), device.out()),
                  "unable to open device!")) {
        return false;
    }
    uint32_t handle = device.get();
    if (dfuFailed(STDFU_SelectCurrentConfiguration(&handle, 0, 0, 1), "unable to select cfg!")) {
        return false;
    }
    DfuStatus status{};
    if (dfuFailed(STDFU_Getstatus(&handle, &status), "unable to get status!")) {
        return false;
    }
    logState(status);
    if (status.bState != kDfuStateIdle) {
        if (dfuFailed(STDFU_BringToIdle(&handle, &status), "unable to clear status!")) {
            return false;
        }
        logState(status);
    }
    return !dfuFailed(device.release(), "unable to close device!");
}

}  // namespace

bool returnToNormalOperation(const usb::PortPath& port) {
    const QStringList devices = findDfuDevices();
    qDebug() << "device list:" << devices;
    const std::optional<QString> device = pickDfuDevice(
        devices, port,
        "Cannot return device to normal operation: no device in update-mode detected!");
    if (!device || !makeIdle(*device)) {
        return false;
    }

    DfuOperationContext context = makeDfuContext(*device);
    ScopedMapping mapping;
    uint32_t alternates = 0;
    const uint32_t mapped =
        STDFUPRT_CreateMappingFromDevice(context.devicePath, mapping.out(), &alternates);
    qDebug() << "alternates:" << alternates;
    if (dfuFailed(mapped, "unable to create mapping")) {
        return false;
    }
    ScopedImage image;
    if (dfuFailed(STDFUFILES_CreateImageFromMapping(image.out(), mapping.get()),
                  "unable to create image")) {
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

}  // namespace dfu
