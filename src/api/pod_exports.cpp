// Pod power, identification and activation, the controller reset, and the pod extender.
// Failures of the pod exports are 1 (the reset and ZPX_SwitchOffBoard: 10); an output or record
// pointer that is null gives 10 with nothing sent, except where the pod exports check it as the
// handle (ZPX_PodActivated: 2).
#include "core/status.h"
#include "session/call_frame.h"
#include "session/handle_table.h"
#include "target/pod.h"

using namespace zpx;

namespace {

uint32_t StatusOf(Result r) {
    return r.failed() ? kStatusFailed : kStatusOk;
}

}  // namespace

extern "C" {

ZPX_API uint32_t ZPX_SetPodPowerOn(ZPX_Handle handle) {
    return CallFrame(handle,
                     [](ControllerSession& s) { return StatusOf(target::SetPodPowerOn(s)); });
}

ZPX_API uint32_t ZPX_PodPowered(ZPX_Handle handle, uint32_t* state) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (state == nullptr) return kStatusInvalid;
        return StatusOf(target::PodPowered(s, state));
    });
}

ZPX_API uint32_t ZPX_SetPodPowerOff(ZPX_Handle handle) {
    return CallFrame(handle,
                     [](ControllerSession& s) { return StatusOf(target::SetPodPowerOff(s)); });
}

ZPX_API uint32_t ZPX_ActivatePod(ZPX_Handle handle, uint32_t mode) {
    return CallFrame(handle,
                     [&](ControllerSession& s) { return StatusOf(target::ActivatePod(s, mode)); });
}

ZPX_API uint32_t ZPX_PodActivated(ZPX_Handle handle, uint32_t* active) {
    if (!handle_table::IsLive(handle) || active == nullptr) return kStatusNullHandle;
    return CallFrame(
        handle, [&](ControllerSession& s) { return StatusOf(target::PodActivated(s, active)); });
}

ZPX_API uint32_t ZPX_DeActivatePod(ZPX_Handle handle) {
    return CallFrame(handle,
                     [](ControllerSession& s) { return StatusOf(target::DeActivatePod(s)); });
}

ZPX_API uint32_t ZPX_EnablePod(ZPX_Handle handle, ZPX_DeviceInfo* info, uint32_t mode) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (info == nullptr) return kStatusInvalid;
        return StatusOf(target::EnablePod(s, *info, mode));
    });
}

ZPX_API uint32_t ZPX_DisablePod(ZPX_Handle handle, const ZPX_DeviceInfo* info) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (info == nullptr) return kStatusInvalid;
        return StatusOf(target::DisablePod(s, *info));
    });
}

ZPX_API uint32_t ZPX_ResetSystem(ZPX_Handle handle) {
    return CallFrame(handle, [](ControllerSession& s) {
        return target::ResetControllerLogic(s).failed() ? kStatusInvalid : kStatusOk;
    });
}

// One entry point under two names. The compiler may find the body cannot throw and say so of the
// first name only; both names are the same code all the same.
#if defined(__clang__)
ZPX_API uint32_t ZPX_ResetController(ZPX_Handle handle) __attribute__((alias("ZPX_ResetSystem")));
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-attributes"
ZPX_API uint32_t ZPX_ResetController(ZPX_Handle handle) __attribute__((alias("ZPX_ResetSystem")));
#pragma GCC diagnostic pop
#endif

ZPX_API uint32_t ZPX_SwitchOffBoard(ZPX_Handle handle) {
    return CallFrame(handle, [](ControllerSession& s) {
        return target::SwitchOffBoard(s).failed() ? kStatusInvalid : kStatusOk;
    });
}

ZPX_API uint32_t ZPX_SetPodExtenderMode(ZPX_Handle handle, uint32_t mode) {
    return CallFrame(handle,
                     [&](ControllerSession& s) { return target::SetPodExtenderMode(s, mode); });
}

ZPX_API uint32_t ZPX_GetPodExtenderMode(ZPX_Handle handle, uint32_t* mode) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (mode == nullptr) return kStatusInvalid;
        return target::GetPodExtenderMode(s, mode);
    });
}

}  // extern "C"
