// The frame every export runs its body in: the single place that knows about handles that are not
// live (2), the in-use guard (3), the checks an export makes before the guard, and that no
// exception may cross the C boundary.
#pragma once

#include <cstdint>

#include "api/status.h"
#include "device/controller_session.h"
#include "session/handle_table.h"
#include "session/in_use_guard.h"

namespace zpx {

class Frame {
  public:
    explicit Frame(ZPX_Handle handle) : handle_(handle) {}

    // A pointer the export needs before anything else: a null one gives `ifNull` right after the
    // handle check, before the session's guard (so even a busy session answers it).
    Frame& Require(const void* pointer, Status ifNull) {
        if (required_ < kMaxRequired) checks_[required_++] = {pointer, ifNull};
        return *this;
    }
    // An output the export clears once the checks have passed, before the guard.
    template <typename T>
    Frame& Clear(T** output) {
        clear_ = [](void* p) { *static_cast<T**>(p) = nullptr; };
        clearTarget_ = output;
        return *this;
    }
    // What an exception inside the body gives: only allocation throws, so this is the export's
    // code for an allocation that failed. 1 unless set.
    Frame& OnException(Status status) {
        onException_ = status;
        return *this;
    }

    // Runs `body(session)`, which returns the export's Status, inside the frame.
    template <typename Body>
    uint32_t Run(Body&& body) noexcept {
        // Inside the table's call, a close of the handle waits until the body has returned.
        const handle_table::Call call(handle_);
        if (!call) return Code(Status::kNullHandle);
        for (unsigned i = 0; i < required_; ++i) {
            if (checks_[i].pointer == nullptr) return Code(checks_[i].ifNull);
        }
        if (clear_ != nullptr) clear_(clearTarget_);
        ControllerSession& session = call.session();
        InUseGuard guard(session.inUse);
        if (!guard.taken()) return Code(Status::kBusy);
        try {
            return Code(body(session));
        } catch (...) {
            return Code(onException_);
        }
    }

  private:
    static constexpr unsigned kMaxRequired = 2;
    struct Check {
        const void* pointer;
        Status ifNull;
    };
    ZPX_Handle handle_;
    Check checks_[kMaxRequired] = {};
    unsigned required_ = 0;
    void (*clear_)(void*) = nullptr;
    void* clearTarget_ = nullptr;
    Status onException_ = Status::kFailed;
};

// The frame of the exports without a handle: no exception crosses the C boundary.
template <typename Body>
uint32_t Guarded(Status onException, Body&& body) noexcept {
    try {
        return Code(body());
    } catch (...) {
        return Code(onException);
    }
}

}  // namespace zpx
