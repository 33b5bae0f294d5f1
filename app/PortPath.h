#pragma once

#include <QString>

#include <cstdint>
#include <vector>

#include "UnitSelection.h"

// Port path text ("4.2") to port numbers; empty for no text or a text it cannot parse.
std::vector<uint8_t> parsePortPath(const QString& text);

namespace unitflash {

// Parses the typed --port into the selection; false, after the parse's message, when the text
// is no port path, so that a typo never widens a command to any unit.
bool parseSelectedPort(UnitSelection& selection);

}  // namespace unitflash
