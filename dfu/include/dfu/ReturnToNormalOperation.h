#pragma once

// Makes the first unit found in DFU mode leave its boot loader; true on success.
bool returnToNormalOperation();
