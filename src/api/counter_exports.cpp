// Loading and reading the controller's counters.
#include "core/status.h"
#include "device/access.h"
#include "session/call_frame.h"
#include "transport/counters.h"

using namespace zpx;
using namespace zpx::transport;
using namespace zpx::device;

namespace {

uint32_t WriteCounterStatus(ControllerSession& s, uint32_t counter, uint32_t value) {
    return WriteCounterValue(s, counter, value).failed() ? kStatusInvalid : kStatusOk;
}

uint32_t ReadCounterStatus(ControllerSession& s, uint32_t counter, uint32_t* value) {
    if (value == nullptr) return kStatusInvalid;
    return ReadCounterValue(s, counter, value).failed() ? kStatusInvalid : kStatusOk;
}

}  // namespace

extern "C" {

ZPX_API uint32_t ZPX_WriteCtrlCounter(ZPX_Handle handle, uint32_t counter, uint32_t value) {
    return CallFrame(handle,
                     [&](ControllerSession& s) { return WriteCounterStatus(s, counter, value); });
}

ZPX_API uint32_t ZPX_ReadCtrlCounter(ZPX_Handle handle, uint32_t counter, uint32_t* value) {
    return CallFrame(handle,
                     [&](ControllerSession& s) { return ReadCounterStatus(s, counter, value); });
}

ZPX_API uint32_t ZPX_WriteCounter(ZPX_Handle handle, uint32_t, uint32_t counter, uint32_t value) {
    return CallFrame(handle,
                     [&](ControllerSession& s) { return WriteCounterStatus(s, counter, value); });
}

ZPX_API uint32_t ZPX_ReadCounter(ZPX_Handle handle, uint32_t, uint32_t counter, uint32_t* value) {
    return CallFrame(handle,
                     [&](ControllerSession& s) { return ReadCounterStatus(s, counter, value); });
}

}  // extern "C"
