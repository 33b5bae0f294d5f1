#pragma once

#include <QStringList>

// The application version, as the version option prints it.
inline constexpr const char kApplicationVersion[] = "1.3.1+gfc41b41";

// Parses the command line and runs exactly one command; true when that command succeeded.
bool runApplication(const QStringList& arguments);
