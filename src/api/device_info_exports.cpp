// Device information records (owned by the caller) and the controller's information records and
// per-field getters.
#include "core/status.h"
#include "info/controller_info.h"
#include "session/call_frame.h"
#include "session/handle_table.h"
#include "target/device_info.h"

using namespace zpx;

extern "C" {

ZPX_API ZPX_DeviceInfo* ZPX_CreateDeviceInfo(ZPX_Handle handle, uint32_t* status) {
    ZPX_DeviceInfo* record = nullptr;
    const uint32_t result = CallFrame(
        handle, [&](ControllerSession& s) { return target::CreateDeviceInfo(s, &record); });
    if (status != nullptr) *status = result;
    return result == kStatusOk ? record : nullptr;
}

ZPX_API uint32_t ZPX_ExtractDeviceInfo(ZPX_Handle handle, ZPX_DeviceInfo* info) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (info == nullptr) return kStatusInvalid;
        return target::ExtractDeviceInfo(s, *info).failed() ? kStatusFailed : kStatusOk;
    });
}

ZPX_API uint32_t ZPX_DestroyDeviceInfo(ZPX_Handle handle, ZPX_DeviceInfo* info) {
    return CallFrame(handle, [&](ControllerSession&) { return target::DestroyDeviceInfo(info); });
}

ZPX_API uint32_t ZPX_GetControllerInfo(ZPX_Handle handle, ZPX_ControllerInfoRecord** record) {
    if (!handle_table::IsLive(handle) || record == nullptr) return kStatusNullHandle;
    *record = nullptr;
    return CallFrame(handle,
                     [&](ControllerSession& s) { return info::GetControllerInfo(s, record); });
}

ZPX_API uint32_t ZPX_ControllerInfo(ZPX_Handle handle, const ZPX_DeviceInfo* info,
                                    ZPX_InfoQuery* query) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (info == nullptr || query == nullptr) return kStatusInvalid;
        return info::ControllerInfo(s, *info, *query);
    });
}

ZPX_API uint32_t ZPX_ControllerInfoNew(ZPX_Handle handle, ZPX_InfoQuery* query) {
    if (!handle_table::IsLive(handle)) return kStatusNullHandle;
    if (query == nullptr) return kStatusInvalid;
    return CallFrame(handle,
                     [&](ControllerSession& s) { return info::ControllerInfoNew(s, *query); });
}

ZPX_API uint32_t ZPX_GetPodType(ZPX_Handle handle, int32_t* podType) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (podType == nullptr) return kStatusInvalid;
        *podType = s.podType;
        return kStatusOk;
    });
}

ZPX_API uint32_t ZPX_GetTapType(ZPX_Handle handle, int32_t tap, int32_t* type) {
    return CallFrame(handle, [&](ControllerSession& s) {
        info::GetTapType(s, tap, type);
        return kStatusOk;
    });
}

ZPX_API uint32_t ZPX_GetOutputVoltRange(ZPX_Handle handle, int32_t tapIndex, int32_t* minimum,
                                        int32_t* maximum) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (minimum == nullptr || maximum == nullptr) return kStatusInvalid;
        return info::GetOutputVoltRange(s, tapIndex, minimum, maximum);
    });
}

ZPX_API uint32_t ZPX_GetThresholdVoltRange(ZPX_Handle handle, int32_t tapIndex, int32_t* minimum,
                                           int32_t* maximum) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (minimum == nullptr || maximum == nullptr) return kStatusInvalid;
        return info::GetThresholdVoltRange(s, tapIndex, minimum, maximum);
    });
}

}  // extern "C"
