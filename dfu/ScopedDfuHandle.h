#pragma once

#include <cstdint>

#include "dfuse/Stdfu.h"
#include "dfuse/StdfuFiles.h"
#include "dfuse/StdfuPrt.h"

namespace dfu {

// Owns one handle of the DFU library and releases it when it goes out of scope, so that every
// early return of a DFU step frees what the step obtained. `Release` is the library function
// that frees such a handle and zeroes it.
template <typename Handle, uint32_t (*Release)(Handle*)>
class ScopedDfuHandle {
  public:
    ScopedDfuHandle() = default;
    ScopedDfuHandle(const ScopedDfuHandle&) = delete;
    ScopedDfuHandle& operator=(const ScopedDfuHandle&) = delete;
    ~ScopedDfuHandle() { release(); }

    Handle* out() { return &handle_; }
    Handle get() const { return handle_; }

    // Releases now; the library's result code.
    uint32_t release() {
        if (!handle_) {
            return kDfuSuccess;
        }
        return Release(&handle_);
    }

  private:
    Handle handle_{};
};

using ScopedDevice = ScopedDfuHandle<uint32_t, STDFU_Close>;
using ScopedFile = ScopedDfuHandle<uint32_t, STDFUFILES_CloseDFUFile>;
using ScopedImage = ScopedDfuHandle<uint32_t, STDFUFILES_DestroyImage>;
using ScopedMapping = ScopedDfuHandle<DfuMapping, STDFUPRT_DestroyMapping>;

}  // namespace dfu
