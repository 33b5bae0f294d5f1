#include "dfuse/DfuReturnCodes.h"

#include <cstdio>
#include <iterator>

#include "DfuError.h"
#include "dfuse/Stdfu.h"

const char* dfuReturnCodeName(uint32_t code) {
    for (const DfuReturnCodeName& entry : kDfuReturnCodeNames) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return "unknown code";
}

namespace dfuse {
namespace {

// Per thread: an operation's worker thread has its own, handed over through its status.
thread_local std::string lastDetail;

template <size_t N>
std::string nameOrNumber(const char* const (&names)[N], uint8_t value) {
    return value < N ? names[value] : std::to_string(value);
}

}  // namespace

void setLastErrorDetail(const std::string& detail) {
    lastDetail = detail;
}

std::string hex32(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, unsigned(value));
    return text;
}

std::string statusText(const DfuStatus& status) {
    return nameOrNumber(kDfuStateNames, status.bState) + " / " +
           nameOrNumber(kDfuDeviceStatusNames, status.bStatus);
}

}  // namespace dfuse

const char* STDFU_GetLastErrorDetail() {
    return dfuse::lastDetail.c_str();
}
