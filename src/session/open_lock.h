// A hold of the open lock that the user's processes share, released when the hold goes away.
//
// The lock orders every open and every use of the serial registry on the machine, so a hold that
// is never given back stops every other process's opens. Each hold has exactly one owner and is
// released by scope on every path, an exception's included. The lock is recursive for its owning
// thread: a nested open (a peek that opens a controller to record it) takes a second hold.
#pragma once

#include <cstdint>
#include <utility>

namespace zpx {

namespace platform {
class SharedObjects;
}

inline constexpr uint32_t kOpenLockTimeoutMs = 20000;

class [[nodiscard]] OpenLockHold {
  public:
    // Waits up to kOpenLockTimeoutMs for the lock; an empty hold when it was not obtained.
    static OpenLockHold Take();

    OpenLockHold(OpenLockHold&& other) noexcept
        : objects_(std::exchange(other.objects_, nullptr)) {}
    OpenLockHold& operator=(OpenLockHold&&) = delete;
    OpenLockHold(const OpenLockHold&) = delete;
    OpenLockHold& operator=(const OpenLockHold&) = delete;
    ~OpenLockHold();

    explicit operator bool() const { return objects_ != nullptr; }

  private:
    explicit OpenLockHold(platform::SharedObjects* objects) : objects_(objects) {}

    platform::SharedObjects* objects_;  // where the hold was taken; null when none is held
};

}  // namespace zpx
