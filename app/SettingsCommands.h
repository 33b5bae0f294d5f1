#pragma once

#include <QString>

#include "UnitSelection.h"

// The --export and --import commands; true when the settings went all the way.
bool exportSettings(const QString& fileName, unitflash::UnitSelection& selection);
bool importSettings(const QString& fileName, unitflash::UnitSelection& selection);
