// Register access as the rest of the library uses it: one call per access, no retry, no cache.
// Each forwards to the session's back-end; a session without one fails.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "transport/backend.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::transport {

Result ReadRegister(ControllerSession& s, uint32_t reg, uint32_t* value);
Result WriteRegister(ControllerSession& s, uint32_t reg, uint32_t value);
Result ReadRegisterWord(ControllerSession& s, uint32_t* value);
Result WriteRegisterWord(ControllerSession& s, uint32_t value);
// The clock registers kClockValueRegister and kClockRangeRegister (6 and 7).
Result ReadClockRegister(ControllerSession& s, uint32_t reg, uint32_t* value);
Result WriteClockRegister(ControllerSession& s, uint32_t reg, uint32_t value);
Result DriverRequest(ControllerSession& s, uint32_t code, const void* in, uint32_t inLength,
                     void* out, uint32_t outLength);

}  // namespace zpx::transport
