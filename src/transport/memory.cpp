#include "transport/memory.h"

#include "session/session.h"
#include "transport/backend.h"

namespace zpx::transport {

Result WriteMemoryBlock(ControllerSession& s, uint32_t memory, uint32_t length,
                        const uint8_t* data) {
    if (!s.backend || (data == nullptr && length != 0)) return kFail;
    return s.backend->WriteMemoryBlock(s, memory, length, data);
}

Result ReadMemoryBlock(ControllerSession& s, uint32_t memory, uint32_t length, uint8_t* buffer) {
    if (!s.backend || (buffer == nullptr && length != 0)) return kFail;
    return s.backend->ReadMemoryBlock(s, memory, length, buffer);
}

}  // namespace zpx::transport
