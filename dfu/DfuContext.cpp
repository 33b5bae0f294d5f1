#include "DfuContext.h"

#include <cstring>

namespace dfu {

DfuOperationContext makeDfuContext(const QString& path) {
    DfuOperationContext context;
    std::memset(&context, 0, sizeof context);
    context.guid = kDfuInterfaceGuid;
    const QByteArray latin1 = path.toLatin1();
    const size_t length =
        std::min<size_t>(static_cast<size_t>(latin1.size()), kDfuDevicePathSize - 1);
    std::memcpy(context.devicePath, latin1.constData(), length);
    return context;
}

}  // namespace dfu
