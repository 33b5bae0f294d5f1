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

namespace {

// A device that is not idle after this many requests will not become idle.
constexpr int kMaxIdleRequests = 10;

bool readStatus(uint32_t& handle, DfuStatus& status) {
    if (dfuFailed(STDFU_Getstatus(&handle, &status), "unable to get status!")) {
        return false;
    }
    qDebug() << "dfu state:" << int(status.bState);
    return true;
}

// Brings the device to dfuIDLE from whatever state an earlier run left it in: an open
// download or upload is aborted, an error is cleared.
bool bringToIdle(const QString& path) {
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
    if (!readStatus(handle, status)) {
        return false;
    }
    for (int requests = 0; status.bState != kDfuStateIdle; ++requests) {
        if (requests == kMaxIdleRequests) {
            qCritical("device did not become idle after %i requests (state %i)", kMaxIdleRequests,
                      status.bState);
            return false;
        }
        if (status.bState == kDfuStateDnloadIdle || status.bState == kDfuStateUploadIdle) {
            if (dfuFailed(STDFU_Abort(&handle), "unable to abort transfer!")) {
                return false;
            }
        } else {
            // Outside dfuERROR the device refuses the clear and says where it stands instead.
            const uint32_t cleared = STDFU_Clrstatus(&handle);
            if (status.bState == kDfuStateError && dfuFailed(cleared, "unable to clear status!")) {
                return false;
            }
        }
        if (!readStatus(handle, status)) {
            return false;
        }
    }
    if (dfuFailed(device.release(), "unable to close device!")) {
        return false;
    }
    return true;
}

}  // namespace

bool returnToNormalOperation(const std::vector<uint8_t>& port) {
    const QStringList devices = findDfuDevices();
    qDebug() << "device list:" << devices;
    const std::optional<QString> device = pickDfuDevice(
        devices, port,
        "Cannot return device to normal operation: no device in update-mode detected!");
    if (!device || !bringToIdle(*device)) {
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
