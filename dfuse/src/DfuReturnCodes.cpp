#include "dfuse/DfuReturnCodes.h"

const char* dfuReturnCodeName(uint32_t code) {
    for (const DfuReturnCodeName& entry : kDfuReturnCodeNames) {
        if (entry.code == code)
            return entry.name;
    }
    return "unknown code";
}
