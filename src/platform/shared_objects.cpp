// This process's attachment to the objects it shares with the user's other processes. The system
// layer makes and maps the objects; here they are attached once, used, and let go of only when
// nothing uses them.
#include <cstdio>
#include <mutex>

#include "core/immortal.h"
#include "platform/platform.h"
#include "platform/system_shared.h"

namespace zpx::platform {

namespace {

constexpr unsigned kCounterCount = 4;

// The library's unload hook detaches; at process exit it can run while another thread still
// waits for the open lock or holds it. Every use of the views therefore counts itself in (a lock
// hold counts until its release), and a detach while any use is counted leaves the views and
// handles as they are: pulling the memory from under a waiting thread would crash a process that
// was only exiting. When the library is unloaded by the program, no call can be running, so the
// detach always lets go.
class ProcessSharedObjects final : public SharedObjects {
  public:
    bool Attach() override {
        std::lock_guard lock(mutex_);
        return AttachLocked();
    }

    void Detach() override {
        std::lock_guard lock(mutex_);
        if (!attached_ || users_ > 0) return;
        os::DetachShared(attachment_);
        attachment_ = {};
        attached_ = false;
    }

    uint32_t OpenCounterDecrement(unsigned index) override { return CounterAdd(index, -1); }
    uint32_t OpenCounterIncrement(unsigned index) override { return CounterAdd(index, 1); }

    bool LockOpen(uint32_t timeoutMs) override {
        const os::SharedAttachment views = Enter();
        if (views.lock != nullptr && os::LockShared(views.lock, timeoutMs)) {
            // Only the owning thread reaches here until it lets go, so the hold's own record
            // needs no lock of its own.
            if (holds_++ == 0) heldLock_ = views.lock;
            return true;  // counted in until the matching UnlockOpen
        }
        Leave();
        return false;
    }

    void UnlockOpen() override {
        void* lock = heldLock_;
        if (lock == nullptr || holds_ == 0) return;  // nothing held: nothing to give back
        if (--holds_ == 0) heldLock_ = nullptr;
        os::UnlockShared(lock);
        Leave();
    }

    uint8_t* SerialRegistry() override {
        std::lock_guard lock(mutex_);
        (void)AttachLocked();  // what failed to attach stays null
        return attachment_.registry;
    }

  private:
    bool AttachLocked() {
        if (!attached_) {
            attachment_ = os::AttachShared();
            attached_ = true;
        }
        return attachment_.counters != nullptr && attachment_.lock != nullptr;
    }

    // Counts a use in, attaching first if this process has not yet, and returns the views.
    os::SharedAttachment Enter() {
        std::lock_guard lock(mutex_);
        (void)AttachLocked();
        ++users_;
        return attachment_;
    }

    void Leave() {
        std::lock_guard lock(mutex_);
        --users_;
    }

    uint32_t CounterAdd(unsigned index, int32_t delta) {
        const os::SharedAttachment views = Enter();
        const uint32_t before = views.counters != nullptr && index < kCounterCount
                                    ? os::CounterAdd(views.counters, index, delta)
                                    : 0;
        Leave();
        return before;
    }

    std::mutex mutex_;  // guards the attachment and the count of uses
    bool attached_ = false;
    int users_ = 0;
    os::SharedAttachment attachment_;
    // The open lock as this process's holder took it, and how often (the lock is recursive).
    void* heldLock_ = nullptr;
    unsigned holds_ = 0;
};

// The suffix of the test tag; set once, before any name is made.
char g_nameSuffix[32] = {};

}  // namespace

void SetSharedNamesForTesting(const char* tag) {
    std::snprintf(g_nameSuffix, sizeof g_nameSuffix, ".%s", tag);
}

const char* os::SharedNameSuffix() {
    return g_nameSuffix;
}

template <>
SharedObjects& System<SharedObjects>() {
    static Immortal<ProcessSharedObjects> objects;
    return objects.get();
}

}  // namespace zpx::platform
