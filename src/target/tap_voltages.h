// TAP voltages: the session's list of requested voltages (TapInfo nodes, one per TAP index),
// applied to the pod in one go, and the direct exports that work from a DeviceInfo record.
//
// Voltages are in tenths of a volt (33 = 3.3 V) here and millivolts on the pod link.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "zpx/zpx.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::target {

// The voltage ranges of a TAP type byte, read as a signed byte (an absent TAP, 255, is negative),
// in tenths of a volt; -1 throughout for a type without ranges.
struct VoltageRange {
    int32_t minOutput;
    int32_t maxOutput;
    int32_t minThreshold;
    int32_t maxThreshold;
};
VoltageRange VoltageRangeOf(int32_t tapType);
// The type byte of TAP index `index`, sign-extended; an index the session has no byte for counts
// as an absent TAP.
int32_t TapTypeOf(const ControllerSession& s, uint32_t index);

// The threshold argument that asks for the threshold to be derived from the output.
inline constexpr int32_t kDefaultThreshold = ZPX_DEFAULT_THRESHOLD;
// 15 (1.5 V) for an output of 30 or more, else half the output.
int32_t DefaultThresholdFor(int32_t output);

// tap 0: every TAP; 1 to 4: one TAP.
// kNotAvailable: a TAP of a pod of type 0 named alone; kOutOfRange: a voltage the TAP does not
// take; kInvalid: a TAP that takes no voltages.
Outcome AddTapInfo(ControllerSession& s, uint32_t tap, int32_t output, int32_t threshold);
// Millivolts, cut down to tenths of a volt (the default threshold passes as it is).
Outcome AddTapInfoMillivolt(ControllerSession& s, uint32_t tap, int32_t outputMv,
                            int32_t thresholdMv);
// By the TAP index (0 to 3) under which the node was entered; fails for an index without one.
Result GetTapInfo(const ControllerSession& s, int32_t index, uint32_t* output, uint32_t* threshold);
Result SetTapVoltageEx(ControllerSession& s);
// Fails for a TAP that takes no voltages too.
Result GetTapVoltageEx(ControllerSession& s, uint32_t tap, uint32_t* output, uint32_t* threshold);
// kFailed: register 2 could not be read; kNotAvailable: the record's pod takes no voltages;
// kOutOfRange: an output beyond the record's range; kInvalid: a frame failed.
Outcome SetTapVoltage(ControllerSession& s, const ZPX_DeviceInfo& info,
                      const ZPX_TapVoltageRequest& request);
// kNotAvailable as above; kInvalid: the read failed.
Outcome GetTapVoltage(ControllerSession& s, const ZPX_DeviceInfo& info, uint32_t tap,
                      uint32_t* output, uint32_t* threshold);

}  // namespace zpx::target
