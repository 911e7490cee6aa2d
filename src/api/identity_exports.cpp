// Controller identity: revision, flash code, wait time, serial numbers, memory sizes and the
// board test. These report a failed controller access as 1 (the board test as 10); a missing
// output pointer, or a pod number the register-2 sequence cannot carry, is 10 with nothing sent.
#include "api/call_frame.h"
#include "device/identity.h"

using namespace zpx;
using namespace zpx::device;

namespace {

constexpr uint32_t kWaitTime5120 = 640;
constexpr uint32_t kWaitTime51x4 = 1000;

}  // namespace

extern "C" {

ZPX_API uint32_t ZPX_GetMemorySize(ZPX_Handle handle, int32_t memoryKind, uint32_t* size) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (size == nullptr) return Status::kInvalid;
        return StatusOf(LookupMemorySize(s, memoryKind, size), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_GetControllerEPLD(ZPX_Handle handle, uint32_t* revision) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (revision == nullptr) return Status::kInvalid;
        return StatusOf(ReadHwRevision(s, revision), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_GetControllerFlash(ZPX_Handle handle, uint32_t* code) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (code == nullptr) return Status::kInvalid;
        if (s.flashCode != 0) {
            *code = s.flashCode;
            return Status::kOk;
        }
        return StatusOf(ReadFlashCode(s, code), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_GetCntrWaitTime(ZPX_Handle handle, uint32_t* waitTime) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (waitTime == nullptr) return Status::kInvalid;
        uint32_t code = 0;
        if (s.flashCode == 0 && ReadFlashCode(s, &code).failed()) return Status::kFailed;
        *waitTime = s.controllerType == 0 ? kWaitTime5120 : kWaitTime51x4;
        return Status::kOk;
    });
}

ZPX_API uint32_t ZPX_GetControllerSerialNumber(ZPX_Handle handle, uint32_t* high, uint32_t* low) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (high == nullptr || low == nullptr) return Status::kInvalid;
        return StatusOf(ReadControllerSerial(s, high, low), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_GetTransceiverSerialNumber(ZPX_Handle handle, uint32_t* high, uint32_t* low) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (high == nullptr || low == nullptr) return Status::kInvalid;
        return StatusOf(ReadTransceiverSerial(s, high, low), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_GetPodSerialNumber(ZPX_Handle handle, uint32_t pod, uint32_t* high,
                                        uint32_t* low) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (high == nullptr || low == nullptr || pod >= kPodCount) return Status::kInvalid;
        return StatusOf(ReadPodSerial(s, pod, high, low), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_BoardValid(ZPX_Handle handle, uint32_t, uint32_t* verdict) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (verdict == nullptr) return Status::kInvalid;
        return StatusOf(ProbeBoard(s, verdict), Status::kInvalid);
    });
}

}  // extern "C"
