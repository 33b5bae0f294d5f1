#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
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
    int bytes = arg <= 0xFF ? 1 : arg <= 0xFFFF ? 2 : arg <= 0xFFFFFFFFu ? 4 : 8;
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

// One catalogue entry property: integer value, or "const" as simple true/false.
struct Prop {
    std::string key;
    int64_t value;
    bool simple = false;
};

struct Entry {
    std::string name;
    std::vector<Prop> props;
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
inline Prop constFlag(bool v) {
    return {"const", v ? 1 : 0, true};
}

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
            } else if (p.value < 0) {
                head(out, 1, static_cast<uint64_t>(-1 - p.value));
            } else {
                head(out, 0, static_cast<uint64_t>(p.value));
            }
        }
    }
    return out;
}

// A unit as the model sees it: a catalogue, a value image and a record of the calls made.
class FakeTransport : public trn::TransportLayer {
  public:
    Bytes catalogueBytes;
    Bytes image;
    int imageShortBy = 0;
    bool failReconnect = false;
    std::vector<std::pair<uint16_t, uint16_t>> reads;
    std::vector<Bytes> writes;
    int reconnects = 0;

    Bytes readCatalogue() override { return catalogueBytes; }
    Bytes readData(uint16_t offset, uint16_t length) override {
        reads.emplace_back(offset, length);
        Bytes out(length, 0);
        for (size_t i = 0; i < length; ++i) {
            if (offset + i < image.size()) {
                out[i] = image[offset + i];
            }
        }
        out.resize(out.size() - std::min<size_t>(out.size(), static_cast<size_t>(imageShortBy)));
        return out;
    }
    void writeData(const Bytes& data) override { writes.push_back(data); }
    bool commit() override { return true; }
    int reconnect() override {
        ++reconnects;
        if (failReconnect) {
            throw std::runtime_error("no unit");
        }
        return 0;
    }
};

}  // namespace modeltest
