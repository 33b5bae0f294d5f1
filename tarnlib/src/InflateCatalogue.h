#pragma once

#include <cstdint>
#include <vector>

// The catalogue of a unit that compresses it: 4 bytes the host skips, then a zlib or gzip
// stream. Returns the inflated bytes; a stream that ends early yields what it produced so far.
// Throws std::logic_error for too little data and for every inflate failure.
std::vector<uint8_t> inflateCatalogue(const std::vector<uint8_t>& data);
