// TAP voltages and the TAP information list, TAP I/O pins and parallel mode. A null request or
// output pointer gives 10 with nothing sent; the exports that take a DeviceInfo and check it with
// the handle (the direct voltage exports) give 2 for a null one, the others 10.
#include "core/status.h"
#include "session/call_frame.h"
#include "session/handle_table.h"
#include "target/io_pins.h"
#include "target/tap_voltages.h"

using namespace zpx;

extern "C" {

ZPX_API uint32_t ZPX_AddNewTapInfo(ZPX_Handle handle, uint32_t tap, int32_t output,
                                   int32_t threshold) {
    return CallFrame(handle, [&](ControllerSession& s) {
        return target::AddTapInfo(s, tap, output, threshold);
    });
}

ZPX_API uint32_t ZPX_AddNewTapInfoMillivolt(ZPX_Handle handle, uint32_t tap, int32_t outputMv,
                                            int32_t thresholdMv) {
    return CallFrame(handle, [&](ControllerSession& s) {
        return target::AddTapInfoMillivolt(s, tap, outputMv, thresholdMv);
    });
}

ZPX_API uint32_t ZPX_GetTapInfo(ZPX_Handle handle, int32_t tapIndex, uint32_t* output,
                                uint32_t* threshold) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (output == nullptr || threshold == nullptr) return kStatusInvalid;
        return target::GetTapInfo(s, tapIndex, output, threshold);
    });
}

ZPX_API uint32_t ZPX_SetTapVoltageEx(ZPX_Handle handle) {
    return CallFrame(handle, [](ControllerSession& s) { return target::SetTapVoltageEx(s); });
}

ZPX_API uint32_t ZPX_GetTapVoltageEx(ZPX_Handle handle, uint32_t tap, uint32_t* output,
                                     uint32_t* threshold) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (output == nullptr || threshold == nullptr) return kStatusInvalid;
        return target::GetTapVoltageEx(s, tap, output, threshold);
    });
}

ZPX_API uint32_t ZPX_SetTapVoltage(ZPX_Handle handle, const ZPX_DeviceInfo* info,
                                   const ZPX_TapVoltageRequest* request) {
    if (!handle_table::IsLive(handle) || info == nullptr) return kStatusNullHandle;
    return CallFrame(handle, [&](ControllerSession& s) {
        if (request == nullptr) return kStatusInvalid;
        return target::SetTapVoltage(s, *info, *request);
    });
}

ZPX_API uint32_t ZPX_GetTapVoltage(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tap,
                                   uint32_t* output, uint32_t* threshold) {
    if (!handle_table::IsLive(handle) || info == nullptr) return kStatusNullHandle;
    return CallFrame(handle, [&](ControllerSession& s) {
        if (output == nullptr || threshold == nullptr) return kStatusInvalid;
        return target::GetTapVoltage(s, *info, tap, output, threshold);
    });
}

ZPX_API uint32_t ZPX_SetTapIoPins(ZPX_Handle handle, uint32_t tap, uint32_t data,
                                  uint32_t control) {
    return CallFrame(
        handle, [&](ControllerSession& s) { return target::SetTapIoPins(s, tap, data, control); });
}

ZPX_API uint32_t ZPX_GetTapIoPins(ZPX_Handle handle, uint32_t tap, uint32_t* data,
                                  uint32_t* control) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (data == nullptr || control == nullptr) return kStatusInvalid;
        return target::GetTapIoPins(s, tap, data, control);
    });
}

ZPX_API uint32_t ZPX_RWTapIoPins(ZPX_Handle handle, int32_t tap, uint32_t mask, uint32_t data,
                                 uint32_t control, uint32_t* result) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (result == nullptr) return kStatusInvalid;
        return target::RWTapIoPins(s, tap, mask, data, control, result);
    });
}

ZPX_API uint32_t ZPX_SetIoPins(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tapMask,
                               uint32_t data, uint32_t control) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (info == nullptr) return kStatusInvalid;
        return target::SetIoPins(s, *info, tapMask, data, control);
    });
}

ZPX_API uint32_t ZPX_GetIoPins(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t tapMask,
                               uint32_t* data, uint32_t* control) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (info == nullptr || data == nullptr || control == nullptr) return kStatusInvalid;
        return target::GetIoPins(s, *info, tapMask, data, control);
    });
}

ZPX_API uint32_t ZPX_EnableTapParallelMode(ZPX_Handle handle, uint32_t tap) {
    return CallFrame(handle,
                     [&](ControllerSession& s) { return target::EnableTapParallelMode(s, tap); });
}

ZPX_API uint32_t ZPX_DisableTapParallelMode(ZPX_Handle handle, uint32_t tap) {
    return CallFrame(handle,
                     [&](ControllerSession& s) { return target::DisableTapParallelMode(s, tap); });
}

ZPX_API uint32_t ZPX_WriteTapParallelMode(ZPX_Handle handle, uint32_t value, uint32_t* bit) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (bit == nullptr) return kStatusInvalid;
        return target::WriteTapParallelMode(s, value, bit);
    });
}

}  // extern "C"
