#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "tarnlib/TransportLayer.h"

namespace modeltest {

using Bytes = std::vector<uint8_t>;

// Minimal CBOR writer for building catalogues in tests.
inline void head(Bytes& out, int major, uint64_t arg) {
    if (arg < 24) {
        out.push_back(static_cast<uint8_t>(major << 5 | arg));
        return;
    }
    int bytes = 1;
    int info = 24;
    for (; bytes < 8 && (arg >> (8 * bytes)) != 0; bytes *= 2) {
        ++info;
    }
    out.push_back(static_cast<uint8_t>(major << 5 | info));
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<uint8_t>(arg >> (8 * i)));
    }
}

inline void text(Bytes& out, const std::string& s) {
    head(out, 3, s.size());
    out.insert(out.end(), s.begin(), s.end());
}

constexpr int64_t kAbsent = std::numeric_limits<int64_t>::min();

// One catalogue entry; absent properties are left out. `constItem` is the raw CBOR item of
// "const" (0xF5 true, 0xF4 false, 0x01 the integer 1), below 0 for none.
struct Entry {
    std::string name;
    int64_t type = kAbsent;
    int64_t offset = kAbsent;
    int64_t count = kAbsent;
    int constItem = -1;
};

inline Bytes catalogue(const std::vector<Entry>& entries) {
    Bytes out;
    head(out, 5, entries.size());
    for (const Entry& e : entries) {
        text(out, e.name);
        const std::pair<const char*, int64_t> props[] = {
            {"type", e.type}, {"count", e.count}, {"offset", e.offset}};
        int present = e.constItem >= 0 ? 1 : 0;
        for (const auto& p : props) {
            present += p.second != kAbsent ? 1 : 0;
        }
        head(out, 5, static_cast<uint64_t>(present));
        for (const auto& p : props) {
            if (p.second != kAbsent) {
                text(out, p.first);
                const bool negative = p.second < 0;
                head(out, negative ? 1 : 0,
                     static_cast<uint64_t>(negative ? -1 - p.second : p.second));
            }
        }
        if (e.constItem >= 0) {
            text(out, "const");
            out.push_back(static_cast<uint8_t>(e.constItem));
        }
    }
    return out;
}

// A unit that only records the write records sent to it.
class FakeTransport : public trn::TransportLayer {
  public:
    std::vector<Bytes> writes;

    Bytes readCatalogue() override { return {}; }
    Bytes readData(uint16_t, uint16_t) override { return {}; }
    void writeData(const Bytes& data) override { writes.push_back(data); }
    bool commit() override { return true; }
    int reconnect() override { return 0; }
};

}  // namespace modeltest
