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

Result QueryDriverId(ControllerSession& s, uint32_t* answer) {
    if (!s.backend) return kFail;
    return s.backend->QueryDriverId(answer);
}

Result QueryStatusRegisters(ControllerSession& s, uint32_t* register1, uint32_t* register2) {
    if (!s.backend) return kFail;
    return s.backend->QueryStatusRegisters(register1, register2);
}

Result QueryPodSense(ControllerSession& s, uint32_t* answer) {
    if (!s.backend) return kFail;
    return s.backend->QueryPodSense(answer);
}

HeldWrites::HeldWrites(ControllerSession& s) : s_(s), open_(s.backend != nullptr) {
    if (open_) s_.backend->HoldWrites();
}

HeldWrites::~HeldWrites() {
    // Only reached without Finish on a path that already fails: what cannot be sent now is
    // reported by the session's next exchange.
    (void)Finish();
}

Result HeldWrites::Flush() {
    return open_ ? s_.backend->FlushWrites() : kOk;
}

Result HeldWrites::Finish() {
    if (!open_) return kOk;
    open_ = false;
    return s_.backend->ReleaseWrites();
}

}  // namespace zpx::transport
