// Controller identity: revision, flash code, wait time, serial numbers, memory sizes and the
// board test. These report a failed controller access as 1 (the board test as 10); a missing
// output pointer, or a pod number the register-2 sequence cannot carry, is 10 with nothing sent.
#include "core/status.h"
#include "device/identity.h"
#include "session/call_frame.h"

using namespace zpx;
using namespace zpx::device;

namespace {

constexpr uint32_t kWaitTime5120 = 640;
constexpr uint32_t kWaitTime51x4 = 1000;

uint32_t StatusOf(Result r) {
    return r.failed() ? kStatusFailed : kStatusOk;
}

}  // namespace

extern "C" {

ZPX_API uint32_t ZPX_GetMemorySize(ZPX_Handle handle, int32_t memoryKind, uint32_t* size) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (size == nullptr) return kStatusInvalid;
        return StatusOf(LookupMemorySize(s, memoryKind, size));
    });
}

ZPX_API uint32_t ZPX_GetControllerEPLD(ZPX_Handle handle, uint32_t* revision) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (revision == nullptr) return kStatusInvalid;
        return StatusOf(ReadHwRevision(s, revision));
    });
}

ZPX_API uint32_t ZPX_GetControllerFlash(ZPX_Handle handle, uint32_t* code) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (code == nullptr) return kStatusInvalid;
        if (s.flashCode != 0) {
            *code = s.flashCode;
            return kStatusOk;
        }
        return StatusOf(ReadFlashCode(s, code));
    });
}

ZPX_API uint32_t ZPX_GetCntrWaitTime(ZPX_Handle handle, uint32_t* waitTime) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (waitTime == nullptr) return kStatusInvalid;
        uint32_t code = 0;
        if (s.flashCode == 0 && ReadFlashCode(s, &code).failed()) return kStatusFailed;
        *waitTime = s.controllerType == 0 ? kWaitTime5120 : kWaitTime51x4;
        return kStatusOk;
    });
}

ZPX_API uint32_t ZPX_GetControllerSerialNumber(ZPX_Handle handle, uint32_t* high, uint32_t* low) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (high == nullptr || low == nullptr) return kStatusInvalid;
        return StatusOf(ReadControllerSerial(s, high, low));
    });
}

ZPX_API uint32_t ZPX_GetTransceiverSerialNumber(ZPX_Handle handle, uint32_t* high, uint32_t* low) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (high == nullptr || low == nullptr) return kStatusInvalid;
        return StatusOf(ReadTransceiverSerial(s, high, low));
    });
}

ZPX_API uint32_t ZPX_GetPodSerialNumber(ZPX_Handle handle, uint32_t pod, uint32_t* high,
                                        uint32_t* low) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (high == nullptr || low == nullptr || pod >= kPodCount) return kStatusInvalid;
        return StatusOf(ReadPodSerial(s, pod, high, low));
    });
}

ZPX_API uint32_t ZPX_BoardValid(ZPX_Handle handle, uint32_t, uint32_t* verdict) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (verdict == nullptr) return kStatusInvalid;
        return ProbeBoard(s, verdict).failed() ? kStatusInvalid : kStatusOk;
    });
}

}  // extern "C"
