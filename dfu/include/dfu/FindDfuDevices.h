#pragma once

#include <QStringList>

// The paths of all present DFU-mode interfaces, upper-cased, in a stable order; an empty entry
// stands for an interface whose path could not be read. Never fails as a whole: a failure gives
// an empty list or an empty entry, plus a log message.
QStringList findDfuDevices();
