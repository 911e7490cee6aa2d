// The test clock: limits, setting, checking and reading back the frequency.
#include <cstdint>

#include "api/call_frame.h"
#include "device/identity.h"
#include "info/clock.h"

using namespace zpx;
using namespace zpx::info;

namespace {

// The generator steps take Hz as a signed 32-bit number: the largest kHz that still converts.
constexpr int32_t kLargestKhz = INT32_MAX / 1000;

using ClockStep = Result (*)(ControllerSession&, uint32_t, int32_t);

// The session's own limits: below the minimum is refused, above the maximum is clamped. The
// accepted frequency becomes tckKhz even when programming it then fails.
Status ProgramWithinSessionLimits(ControllerSession& s, uint32_t option, int32_t khz,
                                  ClockStep step) {
    const device::FrequencyLimits limits = device::FrequencyLimitsOf(s.controllerType);
    if (khz < limits.minimumKhz) return Status::kNotAvailable;
    s.tckKhz = khz > limits.maximumKhz ? limits.maximumKhz : khz;
    return StatusOf(step(s, option, s.tckKhz * 1000), Status::kInvalid);
}

// The limits of a caller's DeviceInfo, both inclusive; tckKhz is left alone.
Status ProgramWithinRecordLimits(ControllerSession& s, const ZPX_DeviceInfo* info, uint32_t option,
                                 int32_t khz, ClockStep step) {
    if (info == nullptr) return Status::kInvalid;
    if (khz > info->MaxFrequencyKhz || khz < info->MinFrequencyKhz) return Status::kNotAvailable;
    // A record whose limits let through what no generator can be asked for.
    if (khz <= 0 || khz > kLargestKhz) return Status::kInvalid;
    return StatusOf(step(s, option, khz * 1000), Status::kInvalid);
}

}  // namespace

extern "C" {

ZPX_API uint32_t ZPX_GetFrequencyRange(ZPX_Handle handle, uint32_t* minimumKhz,
                                       uint32_t* maximumKhz) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (minimumKhz == nullptr || maximumKhz == nullptr) return Status::kInvalid;
        const device::FrequencyLimits limits = device::FrequencyLimitsOf(s.controllerType);
        *minimumKhz = static_cast<uint32_t>(limits.minimumKhz);
        *maximumKhz = static_cast<uint32_t>(limits.maximumKhz);
        return Status::kOk;
    });
}

ZPX_API uint32_t ZPX_SetCtrlFrequency(ZPX_Handle handle, uint32_t option, int32_t khz) {
    return Frame(handle).Run(
        [&](ControllerSession& s) { return ProgramWithinSessionLimits(s, option, khz, SetClock); });
}

ZPX_API uint32_t ZPX_CheckCtrlFrequency(ZPX_Handle handle, uint32_t option, int32_t khz) {
    return Frame(handle).Run([&](ControllerSession& s) {
        return ProgramWithinSessionLimits(s, option, khz, CheckClock);
    });
}

ZPX_API uint32_t ZPX_GetCurrentFrequency(ZPX_Handle handle, uint32_t* khz) {
    return Frame(handle).Run([&](ControllerSession& s) {
        if (khz == nullptr) return Status::kInvalid;
        return StatusOf(ReadClockKhz(s, khz), Status::kInvalid);
    });
}

ZPX_API uint32_t ZPX_SetFrequency(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t option,
                                  int32_t khz) {
    return Frame(handle).Run([&](ControllerSession& s) {
        return ProgramWithinRecordLimits(s, info, option, khz, SetClock);
    });
}

ZPX_API uint32_t ZPX_CheckFrequency(ZPX_Handle handle, const ZPX_DeviceInfo* info, uint32_t option,
                                    int32_t khz) {
    return Frame(handle).Run([&](ControllerSession& s) {
        return ProgramWithinRecordLimits(s, info, option, khz, CheckClock);
    });
}

}  // extern "C"
