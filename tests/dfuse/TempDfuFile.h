#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

// A .dfu file of the running test's own (tests run in parallel never share one), removed at the
// end of the test.
class TempDfuFile {
  public:
    ~TempDfuFile() { std::remove(path_.c_str()); }

    const char* write(const std::vector<uint8_t>& bytes) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path_.c_str();
    }

  private:
    // A parameterised test's name has a '/' in it.
    static std::string fileNamePart(std::string name) {
        std::replace(name.begin(), name.end(), '/', '_');
        return name;
    }

    const std::string path_ =
        ::testing::TempDir() + "dfuse_" +
        fileNamePart(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
        std::to_string(std::random_device()()) + ".dfu";
};

inline std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = uint8_t(seed + i * 7 + (i >> 8));
    return data;
}
