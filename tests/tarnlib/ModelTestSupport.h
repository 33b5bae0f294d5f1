#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "TransportLayer.h"

namespace modeltest {

using Bytes = std::vector<uint8_t>;

// Minimal CBOR writer for building catalogues in tests.
inline void head(Bytes& out, int major, uint64_t arg) {
    const uint8_t m = static_cast<uint8_t>(major << 5);
    if (arg < 24) {
        out.push_back(static_cast<uint8_t>(m | arg));
        return;
    }
    const int bytes = arg <= 0xFF ? 1 : arg <= 0xFFFF ? 2 : arg <= 0xFFFFFFFFu ? 4 : 8;
    out.push_back(static_cast<uint8_t>(m | (bytes == 1   ? 24
                                            : bytes == 2 ? 25
                                            : bytes == 4 ? 26
                                                         : 27)));
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<uint8_t>(arg >> (8 * i)));
    }
}

inline void text(Bytes& out, const std::string& s) {
    head(out, 3, s.size());
    out.insert(out.end(), s.begin(), s.end());
}

// One catalogue entry property: an integer, or with `simple` "const" as true/false.
struct Prop {
    std::string key;
    int64_t value;
    bool simple = false;
};
inline Prop type(int64_t v) {
    return {"type", v};
}
inline Prop count(int64_t v) {
    return {"count", v};
}
inline Prop offset(int64_t v) {
    return {"offset", v};
}

struct Entry {
    std::string name;
    std::vector<Prop> props;
};

inline Bytes catalogue(const std::vector<Entry>& entries) {
    Bytes out;
    head(out, 5, entries.size());
    for (const auto& e : entries) {
        text(out, e.name);
        head(out, 5, e.props.size());
        for (const auto& p : e.props) {
            text(out, p.key);
            if (p.simple) {
                out.push_back(p.value ? 0xF5 : 0xF4);
            } else {
                head(out, p.value < 0 ? 1 : 0,
                     static_cast<uint64_t>(p.value < 0 ? -1 - p.value : p.value));
            }
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
