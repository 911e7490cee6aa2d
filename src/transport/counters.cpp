#include "transport/counters.h"

#include "session/session.h"
#include "transport/backend.h"

namespace zpx::transport {

Result WriteCounterValue(ControllerSession& s, uint32_t counter, uint32_t value) {
    if (!s.backend) return kFail;
    return s.backend->WriteCounter(s, counter, value);
}

Result ReadCounterValue(ControllerSession& s, uint32_t counter, uint32_t* value) {
    *value = 0;
    if (!s.backend) return kFail;
    return s.backend->ReadCounter(s, counter, value);
}

}  // namespace zpx::transport
