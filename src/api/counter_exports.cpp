// Loading and reading the controller's counters. Every failure is 10.
#include "api/call_frame.h"
#include "device/access.h"

using namespace zpx;

namespace {

uint32_t WriteCounter(ZPX_Handle handle, uint32_t counter, uint32_t value) {
    return Frame(handle).Run([&](ControllerSession& s) {
        return StatusOf(device::WriteCounterValue(s, counter, value), Status::kInvalid);
    });
}

uint32_t ReadCounter(ZPX_Handle handle, uint32_t counter, uint32_t* value) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (value == nullptr) return Status::kInvalid;
        return StatusOf(device::ReadCounterValue(s, counter, value), Status::kInvalid);
    });
}

}  // namespace

extern "C" {

ZPX_API uint32_t ZPX_WriteCtrlCounter(ZPX_Handle handle, uint32_t counter, uint32_t value) {
    return WriteCounter(handle, counter, value);
}

ZPX_API uint32_t ZPX_ReadCtrlCounter(ZPX_Handle handle, uint32_t counter, uint32_t* value) {
    return ReadCounter(handle, counter, value);
}

ZPX_API uint32_t ZPX_WriteCounter(ZPX_Handle handle, uint32_t, uint32_t counter, uint32_t value) {
    return WriteCounter(handle, counter, value);
}

ZPX_API uint32_t ZPX_ReadCounter(ZPX_Handle handle, uint32_t, uint32_t counter, uint32_t* value) {
    return ReadCounter(handle, counter, value);
}

}  // extern "C"
