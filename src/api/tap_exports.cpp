// TAP voltages and the TAP information list, TAP I/O pins and parallel mode. A null request or
// output pointer gives 10 with nothing sent; the exports that take a DeviceInfo and check it with
// the handle (the direct voltage exports) give 2 for a null one, the others 10.
#include "api/call_frame.h"
#include "target/io_pins.h"
#include "target/tap_voltages.h"

using namespace zpx;

extern "C" {

ZPX_API uint32_t ZPX_AddNewTapInfo(ZPX_Handle handle, uint32_t tap, int32_t output,
                                   int32_t threshold) {
    return Frame(handle).Run([&](ControllerSession& s) {
        return StatusOf(target::AddTapInfo(s, tap, output, threshold));
    });
}

ZPX_API uint32_t ZPX_AddNewTapInfoMillivolt(ZPX_Handle handle, uint32_t tap, int32_t outputMv,
                                            int32_t thresholdMv) {
    return Frame(handle).Run([&](ControllerSession& s) {
        return StatusOf(target::AddTapInfoMillivolt(s, tap, outputMv, thresholdMv));
    });
}

ZPX_API uint32_t ZPX_GetTapInfo(ZPX_Handle handle, int32_t tapIndex, uint32_t* output,
                                uint32_t* threshold) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (output == nullptr || threshold == nullptr) return Status::kInvalid;
        return StatusOf(target::GetTapInfo(s, tapIndex, output, threshold), Status::kInvalid);
    });
}

ZPX_API uint32_t ZPX_SetTapVoltageEx(ZPX_Handle handle) {
    return Frame(handle).Run(
        [](ControllerSession& s) { return StatusOf(target::SetTapVoltageEx(s), Status::kFailed); });
}

ZPX_API uint32_t ZPX_GetTapVoltageEx(ZPX_Handle handle, uint32_t tap, uint32_t* output,
                                     uint32_t* threshold) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (output == nullptr || threshold == nullptr) return Status::kInvalid;
        return StatusOf(target::GetTapVoltageEx(s, tap, output, threshold), Status::kInvalid);
    });
}

ZPX_API uint32_t ZPX_SetTapVoltage(ZPX_Handle handle, const ZPX_DeviceInfo* info,
                                   const ZPX_TapVoltageRequest* request) {
    return Frame(handle).Require(info, Status::kNullHandle).Run([&](ControllerSession& s) {
        if (request == nullptr) return Status::kInvalid;
        return StatusOf(target::SetTapVoltage(s, *info, *request));
    });
}

ZPX_API uint32_t ZPX_GetTapVoltage(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tap,
                                   uint32_t* output, uint32_t* threshold) {
    return Frame(handle).Require(info, Status::kNullHandle).Run([&](ControllerSession& s) {
        if (output == nullptr || threshold == nullptr) return Status::kInvalid;
        return StatusOf(target::GetTapVoltage(s, *info, tap, output, threshold));
    });
}

ZPX_API uint32_t ZPX_SetTapIoPins(ZPX_Handle handle, uint32_t tap, uint32_t data,
                                  uint32_t control) {
    return Frame(handle).Run([&](ControllerSession& s) {
        return StatusOf(target::SetTapIoPins(s, tap, data, control));
    });
}

ZPX_API uint32_t ZPX_GetTapIoPins(ZPX_Handle handle, uint32_t tap, uint32_t* data,
                                  uint32_t* control) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (data == nullptr || control == nullptr) return Status::kInvalid;
        return StatusOf(target::GetTapIoPins(s, tap, data, control));
    });
}

ZPX_API uint32_t ZPX_RWTapIoPins(ZPX_Handle handle, int32_t tap, uint32_t mask, uint32_t data,
                                 uint32_t control, uint32_t* result) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (result == nullptr) return Status::kInvalid;
        return StatusOf(target::RWTapIoPins(s, tap, mask, data, control, result));
    });
}

ZPX_API uint32_t ZPX_SetIoPins(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tapMask,
                               uint32_t data, uint32_t control) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (info == nullptr) return Status::kInvalid;
        return StatusOf(target::SetIoPins(s, *info, tapMask, data, control));
    });
}

ZPX_API uint32_t ZPX_GetIoPins(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tapMask,
                               uint32_t* data, uint32_t* control) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (info == nullptr || data == nullptr || control == nullptr) return Status::kInvalid;
        return StatusOf(target::GetIoPins(s, *info, tapMask, data, control));
    });
}

ZPX_API uint32_t ZPX_EnableTapParallelMode(ZPX_Handle handle, uint32_t tap) {
    return Frame(handle).Run(
        [&](ControllerSession& s) { return StatusOf(target::EnableTapParallelMode(s, tap)); });
}

ZPX_API uint32_t ZPX_DisableTapParallelMode(ZPX_Handle handle, uint32_t tap) {
    return Frame(handle).Run(
        [&](ControllerSession& s) { return StatusOf(target::DisableTapParallelMode(s, tap)); });
}

ZPX_API uint32_t ZPX_WriteTapParallelMode(ZPX_Handle handle, uint32_t value, uint32_t* bit) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (bit == nullptr) return Status::kInvalid;
        return StatusOf(target::WriteTapParallelMode(s, value, bit));
    });
}

}  // extern "C"
