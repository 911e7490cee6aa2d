#include "platform/platform.h"

#include <atomic>

namespace zpx::platform {

namespace {
std::atomic<Platform*> g_override{nullptr};
}

Platform& Current() {
    Platform* p = g_override.load(std::memory_order_acquire);
    return p != nullptr ? *p : DefaultPlatform();
}

Platform* SetPlatformForTesting(Platform* fake) {
    Platform* previous = g_override.exchange(fake, std::memory_order_acq_rel);
    return previous != nullptr ? previous : &DefaultPlatform();
}

}  // namespace zpx::platform
