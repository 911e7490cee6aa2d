// The frame every export with a handle runs its body in: the single place that knows about
// handles that are not live (2), the in-use guard (3) and that no exception may cross the C
// boundary.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/status.h"
#include "device/controller_session.h"
#include "session/handle_table.h"

namespace zpx {

// The per-session in-use counter: 1 means free. Taking it decrements and looks at the value it
// held before; anything but 1 means another call runs (or the session is still opening), and
// the decrement is undone at once. Nothing ever waits on it.
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

// Runs `body(session)` inside the frame and returns its status. An exception escaping the body
// (only allocation can throw in this library) becomes `onException`.
template <typename Body>
uint32_t CallFrame(ZPX_Handle handle, Body&& body, uint32_t onException = kStatusFailed) noexcept {
    // Inside the table's call, a close of the handle waits until the body has returned.
    const handle_table::Call call(handle);
    if (!call) return kStatusNullHandle;
    ControllerSession& session = call.session();
    InUseGuard guard(session.inUse);
    if (!guard.taken()) return kStatusBusy;
    try {
        return body(session);
    } catch (...) {
        return onException;
    }
}

}  // namespace zpx
