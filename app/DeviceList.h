#pragma once

namespace unitflash {

// Prints the port paths of all attached units to standard output; always true. With `describe`,
// each unit's line is followed by a debug line with its product name, serial number and
// firmware version, and the boot loaders present are listed with their port paths. With
// `mentionAll` a list of several units ends with a line that names --all.
bool printDeviceList(bool describe = false, bool mentionAll = false);

}  // namespace unitflash
