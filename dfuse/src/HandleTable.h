#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace dfuse {

// Maps the opaque numbers handed to callers to the objects behind them. Each kind of handle
// counts from its own base so that a handle of one kind passed as another is refused. Lookups
// are locked because operations run on worker threads.
template <typename T>
class HandleTable {
  public:
    explicit HandleTable(uint32_t base) : next_(base) {}

    uint32_t add(std::shared_ptr<T> item) {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint32_t handle = next_++;
        items_[handle] = std::move(item);
        return handle;
    }

    std::shared_ptr<T> get(uint32_t handle) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = items_.find(handle);
        return it == items_.end() ? nullptr : it->second;
    }

    std::shared_ptr<T> take(uint32_t handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = items_.find(handle);
        if (it == items_.end()) {
            return nullptr;
        }
        std::shared_ptr<T> item = std::move(it->second);
        items_.erase(it);
        return item;
    }

  private:
    mutable std::mutex mutex_;
    std::map<uint32_t, std::shared_ptr<T>> items_;
    uint32_t next_;
};

// Tables live for the whole process and are never destroyed, so that handles a caller did not
// release are not torn down after the USB library at exit.
template <typename T>
HandleTable<T>& handleTable(uint32_t base) {
    static HandleTable<T>* table = new HandleTable<T>(base);
    return *table;
}

}  // namespace dfuse
