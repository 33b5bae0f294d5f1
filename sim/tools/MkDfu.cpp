// unitflash-mkdfu: writes a DfuSe .dfu file from a binary image, or an example firmware image
// (raw or wrapped in a .dfu file) for trying the tool against the simulated unit.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/DfuFileWriter.h"
#include "sim/UnitHardware.h"

namespace {

const char kUsage[] =
    "usage: unitflash-mkdfu [options] <output>\n"
    "  --image FILE        binary image to wrap\n"
    "  --example VERSION   instead of --image: an example firmware image naming VERSION\n"
    "  --size BYTES        size of the example image (default 49152)\n"
    "  --filled            the example image holds data past the settings sector too\n"
    "  --address ADDR      load address (default 0x08000000)\n"
    "  --raw               write the bare image instead of a .dfu file\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "unitflash-mkdfu: %s\n", message.c_str());
    return 1;
}

bool parseNumber(const std::string& text, unsigned long long limit, unsigned long long* value) {
    if (text.empty() || text[0] == '-') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    *value = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && *value <= limit;
}

// What the command line asks for.
struct Request {
    std::string imagePath, version, output;
    unsigned long long address = sim::UnitHardware::kFlashBase;
    unsigned long long size = 48 * 1024;
    bool raw = false;
    bool filled = false;
};

// Reads the options into `request`; an exit status when the run ends there (help, or a bad
// command line, after saying so), -1 to go on.
int parseArguments(int argc, char** argv, Request& request) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--image" && hasValue) {
            request.imagePath = argv[++i];
        } else if (arg == "--example" && hasValue) {
            request.version = argv[++i];
        } else if (arg == "--size" && hasValue) {
            if (!parseNumber(argv[++i], sim::UnitHardware::kFlashSize, &request.size)) {
                return fail("bad size: " + std::string(argv[i]));
            }
        } else if (arg == "--address" && hasValue) {
            if (!parseNumber(argv[++i], 0xFFFFFFFFull, &request.address)) {
                return fail("bad address: " + std::string(argv[i]));
            }
        } else if (arg == "--raw") {
            request.raw = true;
        } else if (arg == "--filled") {
            request.filled = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!arg.empty() && arg[0] != '-' && request.output.empty()) {
            request.output = arg;
        } else {
            std::fputs(kUsage, stderr);
            return 1;
        }
    }
    if (request.output.empty() || request.imagePath.empty() == request.version.empty()) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    return -1;
}

// The image to write: the example firmware, or the bytes of the given file.
bool readImage(const Request& request, std::vector<uint8_t>& image) {
    if (!request.version.empty()) {
        image = sim::makeExampleFirmware(request.version, request.size, request.filled);
        return true;
    }
    std::ifstream in(request.imagePath, std::ios::binary);
    if (!in) {
        return false;
    }
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    Request request;
    const int status = parseArguments(argc, argv, request);
    if (status >= 0) {
        return status;
    }
    try {
        std::vector<uint8_t> image;
        if (!readImage(request, image)) {
            return fail("cannot read " + request.imagePath);
        }
        if (request.address + image.size() > 0x100000000ull) {
            return fail("the image does not fit below 4 GiB at that address");
        }
        const std::vector<uint8_t> bytes =
            request.raw ? image : sim::buildDfuFile(static_cast<uint32_t>(request.address), image);
        std::ofstream out(request.output, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            return fail("cannot write " + request.output);
        }
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return 0;
}
