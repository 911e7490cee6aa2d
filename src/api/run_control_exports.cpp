// Run control, modes, status, errors, TAP enables, learn mode, button and the continuous-mode
// counter. Every failure is 10; a missing output pointer is 10 with nothing sent.
#include "api/call_frame.h"
#include "device/access.h"
#include "session/run_control.h"

using namespace zpx;

namespace {

uint32_t SetField(ZPX_Handle handle, const RegisterField& field, uint32_t value) {
    return Frame(handle).Run([&](ControllerSession& s) {
        return StatusOf(WriteField(s, field, value), Status::kInvalid);
    });
}

uint32_t GetPodField(ZPX_Handle handle, const RegisterField& field, uint32_t* value) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (value == nullptr) return Status::kInvalid;
        return StatusOf(ReadPodRegisterField(s, field, value), Status::kInvalid);
    });
}

}  // namespace

extern "C" {

ZPX_API uint32_t ZPX_StartController(ZPX_Handle handle) {
    return Frame(handle).Run(
        [](ControllerSession& s) { return StatusOf(StartController(s), Status::kInvalid); });
}

ZPX_API uint32_t ZPX_BootController(ZPX_Handle handle, uint32_t image) {
    return Frame(handle).Run(
        [&](ControllerSession& s) { return StatusOf(BootController(s, image), Status::kInvalid); });
}

ZPX_API uint32_t ZPX_StopController(ZPX_Handle handle) {
    return SetField(handle, kRunBits, 0);
}

ZPX_API uint32_t ZPX_GetControllerStatus(ZPX_Handle handle, uint32_t* running) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (running == nullptr) return Status::kInvalid;
        return StatusOf(ReadControllerStatus(s, running), Status::kInvalid);
    });
}

ZPX_API uint32_t ZPX_SetRunMode(ZPX_Handle handle, uint32_t mode) {
    return SetField(handle, kRunMode, mode);
}

ZPX_API uint32_t ZPX_SetRepeaterMode(ZPX_Handle handle, uint32_t mode) {
    return SetField(handle, kRepeaterMode, mode);
}

ZPX_API uint32_t ZPX_SetImmMode(ZPX_Handle handle, uint32_t mode) {
    return SetField(handle, kImmMode, mode);
}

ZPX_API uint32_t ZPX_ClearError(ZPX_Handle handle, uint32_t mask) {
    return SetField(handle, ErrorBits(mask), 0);
}

ZPX_API uint32_t ZPX_GetError(ZPX_Handle handle, uint32_t* error) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (error == nullptr) return Status::kInvalid;
        return StatusOf(ReadErrorRegister(s, error), Status::kInvalid);
    });
}

ZPX_API uint32_t ZPX_SetVPPMode(ZPX_Handle handle, uint32_t mode) {
    return SetField(handle, kVppMode, mode);
}

ZPX_API uint32_t ZPX_SetTapEnable(ZPX_Handle handle, uint32_t mask) {
    return SetField(handle, kTapEnables, mask);
}

ZPX_API uint32_t ZPX_GetTapEnable(ZPX_Handle handle, uint32_t* mask) {
    return GetPodField(handle, kTapEnables, mask);
}

ZPX_API uint32_t ZPX_SetLearnMode(ZPX_Handle handle, uint32_t on) {
    return SetField(handle, kLearnMode, on);
}

ZPX_API uint32_t ZPX_GetLearnMode(ZPX_Handle handle, uint32_t* on) {
    return GetPodField(handle, kLearnMode, on);
}

ZPX_API uint32_t ZPX_GetButton(ZPX_Handle handle, uint32_t* pressed) {
    return GetPodField(handle, kButton, pressed);
}

ZPX_API uint32_t ZPX_SetCntCounter(ZPX_Handle handle) {
    return SetField(handle, kCountContinuous, kCountContinuous.mask);
}

ZPX_API uint32_t ZPX_SetContModeCounter(ZPX_Handle handle, uint32_t count) {
    return Frame(handle).Run([&](ControllerSession& s) {
        return StatusOf(device::WriteRegisterWord(s, count), Status::kInvalid);
    });
}

ZPX_API uint32_t ZPX_GetContModeCounter(ZPX_Handle handle, uint32_t* count) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (count == nullptr) return Status::kInvalid;
        return StatusOf(device::ReadRegisterWord(s, count), Status::kInvalid);
    });
}

}  // extern "C"
