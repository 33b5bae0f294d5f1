#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

// Builds DfuSe file bytes field by field, so that tests can corrupt any of them.
struct TestElement {
    uint32_t address;
    std::vector<uint8_t> data;
};

struct TestTarget {
    uint8_t alternate = 0;
    std::string name;
    std::vector<TestElement> elements;
};

inline void putLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(uint8_t(value >> (8 * i)));
}

inline void setLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = uint8_t(value >> (8 * i));
}

// The suffix CRC: the bitwise NOT of zlib's CRC-32 of every byte before it.
inline void resealCrc(std::vector<uint8_t>& bytes) {
    const uint32_t crc = ~uint32_t(crc32(0, bytes.data(), uInt(bytes.size() - 4)));
    setLe32(bytes, bytes.size() - 4, crc);
}

inline std::vector<uint8_t> dfuFileBytes(const std::vector<TestTarget>& targets,
                                         bool sizeIncludesSuffix = true) {
    std::vector<uint8_t> out = {'D', 'f', 'u', 'S', 'e', 0x01};
    putLe(out, 0, 4);  // size, filled in below
    out.push_back(uint8_t(targets.size()));
    for (const TestTarget& target : targets) {
        for (char c : std::string("Target"))
            out.push_back(uint8_t(c));
        out.push_back(target.alternate);
        putLe(out, target.name.empty() ? 0 : 1, 4);
        std::vector<uint8_t> name(255, 0);
        std::copy(target.name.begin(), target.name.end(), name.begin());
        out.insert(out.end(), name.begin(), name.end());
        uint32_t size = 0;
        for (const TestElement& e : target.elements)
            size += 8 + uint32_t(e.data.size());
        putLe(out, size, 4);
        putLe(out, uint32_t(target.elements.size()), 4);
        for (const TestElement& e : target.elements) {
            putLe(out, e.address, 4);
            putLe(out, uint32_t(e.data.size()), 4);
            out.insert(out.end(), e.data.begin(), e.data.end());
        }
    }
    setLe32(out, 6, uint32_t(out.size() + (sizeIncludesSuffix ? 16 : 0)));
    putLe(out, 0x2200, 2);  // bcdDevice
    putLe(out, 0xDF11, 2);  // idProduct
    putLe(out, 0x0483, 2);  // idVendor
    putLe(out, 0x011A, 2);  // bcdDFU
    out.push_back('U');
    out.push_back('F');
    out.push_back('D');
    out.push_back(16);
    putLe(out, 0, 4);
    resealCrc(out);
    return out;
}

inline std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = uint8_t(seed + i * 7 + (i >> 8));
    return data;
}

// A file name of the running test's own, so that tests run in parallel never share a file.
inline std::string uniqueTempPath(const std::string& testName) {
    std::random_device random;
    return ::testing::TempDir() + "dfuse_" + testName + "_" + std::to_string(random()) + ".dfu";
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}
