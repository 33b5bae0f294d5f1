#include "dfu/ReturnToNormalOperation.h"

#include <QDebug>

bool returnToNormalOperation() {
    qCritical("Returning a unit to normal operation is not available in this build");
    return false;
}
