#include "transport/open_slot.h"

#include "platform/platform.h"

namespace zpx::transport {

std::unique_ptr<OpenSlot> OpenSlot::Take(OpenCounter counter) {
    platform::SharedObjects& p = platform::Use<platform::SharedObjects>();
    // Free is 1. Whoever finds another value was second and undoes its decrement at once.
    if (p.OpenCounterDecrement(counter) != 1) {
        p.OpenCounterIncrement(counter);
        return nullptr;
    }
    // Taken: the object that gives it back must exist before anything can throw.
    struct GiveBack {
        platform::SharedObjects& p;
        OpenCounter counter;
        bool armed = true;
        ~GiveBack() {
            if (armed) p.OpenCounterIncrement(counter);
        }
    } giveBack{p, counter};
    std::unique_ptr<OpenSlot> slot(new OpenSlot(counter));
    giveBack.armed = false;
    return slot;
}

OpenSlot::~OpenSlot() {
    platform::Use<platform::SharedObjects>().OpenCounterIncrement(counter_);
}

}  // namespace zpx::transport
