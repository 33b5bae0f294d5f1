#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "dfuse/DfuProtocol.h"
#include "dfuse/DfuReturnCodes.h"

namespace dfuse {

// The one way a failure travels below the STDFU functions: a return code and what happened, in
// words. Each layer it passes may put its own context in front (see withContext); the STDFU
// function that called down catches it, keeps the text for STDFU_GetLastErrorDetail and returns
// the code.
class DfuError : public std::runtime_error {
  public:
    DfuError(uint32_t code, const std::string& detail) : std::runtime_error(detail), code_(code) {}
    uint32_t code() const { return code_; }

  private:
    uint32_t code_;
};

[[noreturn]] inline void fail(uint32_t code, const std::string& detail) {
    throw DfuError(code, detail);
}

// Sets what STDFU_GetLastErrorDetail gives on this thread.
void setLastErrorDetail(const std::string& detail);

// Runs `body`; a DfuError from it goes on with "`context`: " in front of its text.
template <typename Body>
auto withContext(const std::string& context, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const DfuError& error) {
        throw DfuError(error.code(), context + ": " + error.what());
    }
}

// The body of an STDFU function: kDfuSuccess when it ran through, else the code of the DfuError
// it raised, whose text STDFU_GetLastErrorDetail then gives on this thread.
template <typename Body>
uint32_t guarded(Body&& body) {
    setLastErrorDetail({});
    try {
        body();
        return kDfuSuccess;
    } catch (const DfuError& error) {
        setLastErrorDetail(error.what());
        return error.code();
    }
}

// "0x08004000"; with `digits` 2, "0x5a".
std::string hex32(uint32_t value, int digits = 8);
// "dfuERROR / errERASE": a GETSTATUS reply in words.
std::string statusText(const DfuStatus& status);

}  // namespace dfuse
