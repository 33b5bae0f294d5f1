#pragma once

#include <QStringList>

// Parses the command line and runs exactly one command; true when that command succeeded.
bool runApplication(const QStringList& arguments);
