#pragma once

#include <QString>

#include "UnitSelection.h"

namespace unitflash {

// The --export and --import commands; true when the settings went all the way.
bool exportSettings(const QString& fileName, UnitSelection& selection);
bool importSettings(const QString& fileName, UnitSelection& selection);

}  // namespace unitflash
