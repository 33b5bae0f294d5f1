#pragma once

// Prints the port paths of all attached units to standard output; always true.
bool printDeviceList();
