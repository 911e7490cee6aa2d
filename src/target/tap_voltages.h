// TAP voltages: the session's list of requested voltages (TapInfo nodes, one per TAP index),
// applied to the pod in one go, and the direct exports that work from a DeviceInfo record.
//
// Voltages are in tenths of a volt (33 = 3.3 V) here and millivolts on the pod link. The
// functions return the status codes of their exports.
#pragma once

#include <cstdint>

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
uint32_t AddTapInfo(ControllerSession& s, uint32_t tap, int32_t output, int32_t threshold);
// Millivolts, cut down to tenths of a volt (the default threshold passes as it is).
uint32_t AddTapInfoMillivolt(ControllerSession& s, uint32_t tap, int32_t outputMv,
                             int32_t thresholdMv);
// By the TAP index (0 to 3) under which the node was entered.
uint32_t GetTapInfo(const ControllerSession& s, int32_t index, uint32_t* output,
                    uint32_t* threshold);
uint32_t SetTapVoltageEx(ControllerSession& s);
uint32_t GetTapVoltageEx(ControllerSession& s, uint32_t tap, uint32_t* output, uint32_t* threshold);
uint32_t SetTapVoltage(ControllerSession& s, const ZPX_DeviceInfo& info,
                       const ZPX_TapVoltageRequest& request);
uint32_t GetTapVoltage(ControllerSession& s, const ZPX_DeviceInfo& info, uint32_t tap,
                       uint32_t* output, uint32_t* threshold);

}  // namespace zpx::target
