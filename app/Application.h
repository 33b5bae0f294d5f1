#pragma once

#include <QStringList>

namespace unitflash {

// Parses the command line and runs exactly one command; true when that command succeeded.
bool runApplication(const QStringList& arguments);

}  // namespace unitflash
