// Device information records (owned by the caller) and the controller's information records and
// per-field getters.
#include "api/call_frame.h"
#include "info/controller_info.h"
#include "target/device_info.h"

using namespace zpx;

extern "C" {

ZPX_API ZPX_DeviceInfo* ZPX_CreateDeviceInfo(ZPX_Handle handle, uint32_t* status) {
    ZPX_DeviceInfo* record = nullptr;
    const uint32_t result = Frame(handle).Run([&](ControllerSession& s) {
        return StatusOf(target::CreateDeviceInfo(s, &record), Status::kInvalid);
    });
    if (status != nullptr) *status = result;
    return result == ZPX_STATUS_OK ? record : nullptr;
}

ZPX_API uint32_t ZPX_ExtractDeviceInfo(ZPX_Handle handle, ZPX_DeviceInfo* info) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (info == nullptr) return Status::kInvalid;
        return StatusOf(target::ExtractDeviceInfo(s, *info), Status::kFailed);
    });
}

ZPX_API uint32_t ZPX_DestroyDeviceInfo(ZPX_Handle handle, ZPX_DeviceInfo* info) {
    return Frame(handle).Run([&](ControllerSession&) {
        return StatusOf(target::DestroyDeviceInfo(info), Status::kInvalid);
    });
}

ZPX_API uint32_t ZPX_GetControllerInfo(ZPX_Handle handle, ZPX_ControllerInfoRecord** record) {
    return Frame(handle)
        .Require(record, Status::kNullHandle)
        .Clear(record)
        .Run([&](ControllerSession& s) {
            *record = info::GetControllerInfo(s);
            return Status::kOk;
        });
}

ZPX_API uint32_t ZPX_ControllerInfo(ZPX_Handle handle, const ZPX_DeviceInfo* info,
                                    ZPX_InfoQuery* query) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (info == nullptr || query == nullptr) return Status::kInvalid;
        return StatusOf(info::ControllerInfo(s, *info, *query), Status::kInvalid);
    });
}

ZPX_API uint32_t ZPX_ControllerInfoNew(ZPX_Handle handle, ZPX_InfoQuery* query) {
    return Frame(handle).Require(query, Status::kInvalid).Run([&](ControllerSession& s) {
        return StatusOf(info::ControllerInfoNew(s, *query), Status::kInvalid);
    });
}

ZPX_API uint32_t ZPX_GetPodType(ZPX_Handle handle, int32_t* podType) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (podType == nullptr) return Status::kInvalid;
        *podType = s.podType;
        return Status::kOk;
    });
}

ZPX_API uint32_t ZPX_GetTapType(ZPX_Handle handle, int32_t tap, int32_t* type) {
    return Frame(handle).Run([&](ControllerSession& s) {
        info::GetTapType(s, tap, type);
        return Status::kOk;
    });
}

ZPX_API uint32_t ZPX_GetOutputVoltRange(ZPX_Handle handle, int32_t tapIndex, int32_t* minimum,
                                        int32_t* maximum) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (minimum == nullptr || maximum == nullptr) return Status::kInvalid;
        return StatusOf(info::GetOutputVoltRange(s, tapIndex, minimum, maximum), Status::kInvalid);
    });
}

ZPX_API uint32_t ZPX_GetThresholdVoltRange(ZPX_Handle handle, int32_t tapIndex, int32_t* minimum,
                                           int32_t* maximum) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (minimum == nullptr || maximum == nullptr) return Status::kInvalid;
        return StatusOf(info::GetThresholdVoltRange(s, tapIndex, minimum, maximum),
                        Status::kInvalid);
    });
}

}  // extern "C"
