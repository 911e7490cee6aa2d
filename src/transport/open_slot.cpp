#include "transport/open_slot.h"

#include <new>

#include "platform/platform.h"

namespace zpx::transport {

std::unique_ptr<OpenSlot> OpenSlot::Take(OpenCounter counter) {
    platform::SharedObjects& p = platform::Use<platform::SharedObjects>();
    // Free is 1. Whoever finds another value was second and undoes its decrement at once.
    if (p.OpenCounterDecrement(counter) != 1) {
        p.OpenCounterIncrement(counter);
        return nullptr;
    }
    std::unique_ptr<OpenSlot> slot(new (std::nothrow) OpenSlot(counter));
    if (!slot) p.OpenCounterIncrement(counter);
    return slot;
}

OpenSlot::~OpenSlot() {
    platform::Use<platform::SharedObjects>().OpenCounterIncrement(counter_);
}

}  // namespace zpx::transport
