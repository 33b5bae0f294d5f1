#pragma once

#include <cstdint>
#include <vector>

// The catalogue of a unit that compresses it: 4 bytes the host skips, then a zlib or gzip
// stream. Returns the inflated bytes; a stream that ends early yields what it produced so far.
// Throws std::logic_error for too little data, for every inflate failure and for a stream that
// inflates past the size announced in the skipped bytes or past what a catalogue can be.
std::vector<uint8_t> inflateCatalogue(const std::vector<uint8_t>& data);
