// The per-session in-use counter behind the call frame: 1 means free. Taking it decrements and
// looks at the value it held before; anything but 1 means another call runs (or the session is
// still opening), and the decrement is undone at once. Nothing ever waits on it.
#pragma once

#include <atomic>
#include <cstdint>

namespace zpx {

class InUseGuard {
  public:
    explicit InUseGuard(std::atomic<int32_t>& counter)
        : counter_(counter), taken_(counter.fetch_sub(1, std::memory_order_acquire) == 1) {
        if (!taken_) counter_.fetch_add(1, std::memory_order_relaxed);
    }
    ~InUseGuard() {
        if (taken_) counter_.fetch_add(1, std::memory_order_release);
    }
    InUseGuard(const InUseGuard&) = delete;
    InUseGuard& operator=(const InUseGuard&) = delete;

    bool taken() const { return taken_; }

  private:
    std::atomic<int32_t>& counter_;
    bool taken_;
};

}  // namespace zpx
