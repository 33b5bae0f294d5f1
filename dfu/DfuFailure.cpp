#include "DfuFailure.h"

#include <QDebug>

#include <string>

#include "dfuse/DfuReturnCodes.h"
#include "dfuse/Stdfu.h"

namespace dfu {

void logDfuCause(uint32_t code) {
    const std::string detail = STDFU_GetLastErrorDetail();
    if (detail.empty()) {
        qCritical("%s", dfuReturnCodeName(code));
    } else {
        qCritical("%s: %s", dfuReturnCodeName(code), detail.c_str());
    }
    if (code == kDfuErrorReadProtected) {
        qCritical(
            "The chip's flash is read-protected: it can be neither read nor programmed until "
            "the protection is removed. Removing it (the DfuSe read-unprotect command, e.g. "
            "dfu-util -a 0 -s 0x08000000:unprotect:force) mass-erases the whole flash, firmware "
            "and saved settings, and restarts the chip in its boot loader; then run the update "
            "again.");
    }
    if (code == kDfuErrorDeviceBusy) {
        qCritical(
            "Another program (another run of this tool, say) works with this boot loader; "
            "nothing was done to it. Wait until that program has finished, then run this "
            "command again.");
    }
}

bool dfuFailed(uint32_t code, const char* message) {
    if (code == kDfuSuccess) {
        return false;
    }
    qCritical("%s", message);
    logDfuCause(code);
    return true;
}

}  // namespace dfu
