#include "transport/registers.h"

#include "session/session.h"

namespace zpx::transport {

Result ReadRegister(ControllerSession& s, uint32_t reg, uint32_t* value) {
    if (!s.backend) return kFail;
    return s.backend->ReadRegister(s, reg, value);
}

Result WriteRegister(ControllerSession& s, uint32_t reg, uint32_t value) {
    if (!s.backend) return kFail;
    return s.backend->WriteRegister(s, reg, value);
}

Result ReadRegisterWord(ControllerSession& s, uint32_t* value) {
    if (!s.backend) return kFail;
    return s.backend->ReadRegisterWord(s, value);
}

Result WriteRegisterWord(ControllerSession& s, uint32_t value) {
    if (!s.backend) return kFail;
    return s.backend->WriteRegisterWord(s, value);
}

Result ReadClockRegister(ControllerSession& s, uint32_t reg, uint32_t* value) {
    if (!s.backend) return kFail;
    return s.backend->ReadClockRegister(s, reg, value);
}

Result WriteClockRegister(ControllerSession& s, uint32_t reg, uint32_t value) {
    if (!s.backend) return kFail;
    return s.backend->WriteClockRegister(s, reg, value);
}

Result DriverRequest(ControllerSession& s, uint32_t code, const void* in, uint32_t inLength,
                     void* out, uint32_t outLength) {
    if (!s.backend) return kFail;
    return s.backend->DriverRequest(code, in, inLength, out, outLength);
}

}  // namespace zpx::transport
