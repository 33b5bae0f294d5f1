#pragma once

#include <QString>
#include <QStringList>

#include "UnitSelection.h"

namespace unitflash {

// --all: every attached unit that --port (a prefix) and --name allow is updated at the same
// time, each by a run of this program of its own, pinned to the unit's bus and port path
// (--port B-P.P) and given `childOptions` and the firmware file. Each unit's run stays the
// single-threaded sequence of a one-unit update, and a fault in one (a crash, a pulled cable)
// cannot disturb the others. This run relays their lines with each unit's place after the
// level and time, shows at most one progress line per 10 % of each unit's operation, passes
// stop requests on, and ends with one line per unit and, for each unit not updated, what its
// run reported (its state and recovery commands among it). True when every unit was updated.
bool updateAllUnits(UnitSelection selection, const QString& firmwareFile,
                    const QStringList& childOptions);

}  // namespace unitflash
