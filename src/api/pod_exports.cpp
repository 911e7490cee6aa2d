// Pod power, identification and activation, the controller reset, and the pod extender.
// Failures of the pod exports are 1 (the reset and ZPX_SwitchOffBoard: 10); an output or record
// pointer that is null gives 10 with nothing sent, except where the pod exports check it as the
// handle (ZPX_PodActivated: 2).
#include "api/call_frame.h"
#include "target/pod.h"

using namespace zpx;

extern "C" {

ZPX_API uint32_t ZPX_SetPodPowerOn(ZPX_Handle handle) {
    return Frame(handle).Run(
        [](ControllerSession& s) { return StatusOf(target::SetPodPowerOn(s), Status::kFailed); });
}

ZPX_API uint32_t ZPX_PodPowered(ZPX_Handle handle, uint32_t* state) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (state == nullptr) return Status::kInvalid;
        return StatusOf(target::PodPowered(s, state), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_SetPodPowerOff(ZPX_Handle handle) {
    return Frame(handle).Run(
        [](ControllerSession& s) { return StatusOf(target::SetPodPowerOff(s), Status::kFailed); });
}

ZPX_API uint32_t ZPX_ActivatePod(ZPX_Handle handle, uint32_t mode) {
    return Frame(handle).Run([&](ControllerSession& s) {
        return StatusOf(target::ActivatePod(s, mode), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_PodActivated(ZPX_Handle handle, uint32_t* active) {
    return Frame(handle).Require(active, Status::kNullHandle).Run([&](ControllerSession& s) {
        return StatusOf(target::PodActivated(s, active), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_DeActivatePod(ZPX_Handle handle) {
    return Frame(handle).Run(
        [](ControllerSession& s) { return StatusOf(target::DeActivatePod(s), Status::kFailed); });
}

ZPX_API uint32_t ZPX_EnablePod(ZPX_Handle handle, ZPX_DeviceInfo* info, uint32_t mode) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (info == nullptr) return Status::kInvalid;
        return StatusOf(target::EnablePod(s, *info, mode), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_DisablePod(ZPX_Handle handle, const ZPX_DeviceInfo* info) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (info == nullptr) return Status::kInvalid;
        return StatusOf(target::DisablePod(s, *info), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_ResetSystem(ZPX_Handle handle) {
    return Frame(handle).Run([](ControllerSession& s) {
        return StatusOf(target::ResetControllerLogic(s), Status::kInvalid);
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
    return Frame(handle).Run(
        [](ControllerSession& s) { return StatusOf(target::SwitchOffBoard(s), Status::kInvalid); });
}

ZPX_API uint32_t ZPX_SetPodExtenderMode(ZPX_Handle handle, uint32_t mode) {
    return Frame(handle).Run(
        [&](ControllerSession& s) { return StatusOf(target::SetPodExtenderMode(s, mode)); });
}

ZPX_API uint32_t ZPX_GetPodExtenderMode(ZPX_Handle handle, uint32_t* mode) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (mode == nullptr) return Status::kInvalid;
        return StatusOf(target::GetPodExtenderMode(s, mode));
    });
}

}  // extern "C"
