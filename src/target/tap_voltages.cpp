#include "target/tap_voltages.h"

#include <limits>

#include "device/access.h"
#include "device/controller_session.h"
#include "device/settle.h"
#include "target/pod.h"
#include "target/pod_link.h"

namespace zpx::target {

namespace {

constexpr VoltageRange kIdentifiedTapRange{10, 36, 0, 41};
constexpr VoltageRange kFixedTapRange{33, 50, 33, 50};
constexpr VoltageRange kNoRange{-1, -1, -1, -1};

// A pod of type 0 has no voltage per TAP: the list only chooses one of these for all four.
constexpr int32_t kFixedLowOutput = 33;
constexpr int32_t kFixedHighOutput = 50;
// Adding every TAP of an identified pod takes the older pods' 5 V as the highest output there is.
constexpr int32_t kHighestIdentifiedOutput = 36;
constexpr int32_t kDefaultThresholdCap = 15;
constexpr int32_t kDefaultThresholdFrom = 30;
constexpr uint32_t kRegister1LowVoltage = 0x20;  // clear: 3.3 V on a pod of type 0

bool TakesVoltages(int32_t tapType) {
    return tapType == 0 || tapType == 1;
}

bool Within(int32_t value, int32_t low, int32_t high) {
    return value >= low && value <= high;
}

// Tenths of a volt as millivolts; values beyond what a millivolt count can hold saturate.
int32_t Millivolts(int32_t tenths) {
    const int64_t mv = int64_t{tenths} * 100;
    if (mv > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (mv < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(mv);
}

// A node per TAP index: an existing one is changed in place, a new one goes to the end.
void EnterNode(ControllerSession& s, uint32_t index, int32_t output, int32_t threshold) {
    std::unique_ptr<TapInfo>* link = &s.tapInfoList;
    while (*link && (*link)->tap != index)
        link = &(*link)->next;
    if (!*link) {
        *link = std::make_unique<TapInfo>();
        (*link)->tap = index;
    }
    (*link)->output = output;
    (*link)->threshold = threshold;
}

// The checks and the entry of one TAP of an identified pod.
Outcome EnterChecked(ControllerSession& s, uint32_t index, int32_t output, int32_t threshold) {
    const VoltageRange range = VoltageRangeOf(TapTypeOf(s, index));
    if (!Within(output, range.minOutput, range.maxOutput)) return Reason::kOutOfRange;
    if (threshold == kDefaultThreshold) threshold = DefaultThresholdFor(output);
    if (!Within(threshold, range.minThreshold, range.maxThreshold)) return Reason::kOutOfRange;
    EnterNode(s, index, output, threshold);
    return kDone;
}

// The pod's two readings of TAP index `index` in tenths of a volt, cut down.
Result ReadTenths(ControllerSession& s, uint32_t index, uint32_t* output, uint32_t* threshold) {
    int32_t outputMv = 0;
    int32_t thresholdMv = 0;
    if (ReadTapVoltages(s, index, &outputMv, &thresholdMv).failed()) return kFail;
    *output = static_cast<uint32_t>(outputMv / 100);
    *threshold = static_cast<uint32_t>(thresholdMv / 100);
    return kOk;
}

}  // namespace

VoltageRange VoltageRangeOf(int32_t tapType) {
    if (TakesVoltages(tapType)) return kIdentifiedTapRange;
    if (tapType == kTapFixed) return kFixedTapRange;
    return kNoRange;
}

int32_t TapTypeOf(const ControllerSession& s, uint32_t index) {
    if (!s.tapTypes || index >= s.tapCount) return -1;
    return static_cast<int8_t>(s.tapTypes[index]);
}

int32_t DefaultThresholdFor(int32_t output) {
    return output >= kDefaultThresholdFrom ? kDefaultThresholdCap : output / 2;
}

Outcome AddTapInfo(ControllerSession& s, uint32_t tap, int32_t output, int32_t threshold) {
    if (s.podType == 0) {
        if (tap != 0) return Reason::kNotAvailable;
        if (output != kFixedLowOutput && output != kFixedHighOutput) return Reason::kOutOfRange;
        for (uint32_t i = 0; i < kTapCount; ++i)
            EnterNode(s, i, output, threshold);
        return kDone;
    }
    // Pods of type 3 and pods not yet identified take no voltages, and that is no error.
    if (s.podType != 1 && s.podType != 2) return kDone;
    if (tap != 0) {
        const uint32_t index = tap - 1;
        if (!TakesVoltages(TapTypeOf(s, index))) return Reason::kInvalid;
        return EnterChecked(s, index, output, threshold);
    }
    if (output == kFixedHighOutput) output = kHighestIdentifiedOutput;
    for (uint32_t i = 0; i < kTapCount; ++i) {
        if (!TakesVoltages(TapTypeOf(s, i))) continue;
        // A TAP that fails a check ends the call; the TAPs entered before it stay entered.
        if (const Outcome entered = EnterChecked(s, i, output, threshold); entered.failed()) {
            return entered;
        }
    }
    return kDone;
}

Outcome AddTapInfoMillivolt(ControllerSession& s, uint32_t tap, int32_t outputMv,
                            int32_t thresholdMv) {
    const int32_t threshold = thresholdMv == kDefaultThreshold ? thresholdMv : thresholdMv / 100;
    return AddTapInfo(s, tap, outputMv / 100, threshold);
}

Result GetTapInfo(const ControllerSession& s, int32_t index, uint32_t* output,
                  uint32_t* threshold) {
    for (const TapInfo* node = s.tapInfoList.get(); node != nullptr; node = node->next.get()) {
        if (static_cast<int64_t>(node->tap) == index) {
            *output = static_cast<uint32_t>(node->output);
            *threshold = static_cast<uint32_t>(node->threshold);
            return kOk;
        }
    }
    return kFail;
}

Result SetTapVoltageEx(ControllerSession& s) {
    const TapInfo* first = s.tapInfoList.get();
    if (first == nullptr) return kOk;
    if (s.podType == 0) {
        if (first->output == kFixedLowOutput) {
            s.register1Copy &= ~kRegister1LowVoltage;
        } else {
            s.register1Copy |= kRegister1LowVoltage;
        }
        // The copy keeps the choice; register 1 is written whole again by its next change.
        (void)device::WriteRegister(s, device::kErrorRegister, s.register1Copy);
        return kOk;
    }
    device::HeldWrites held(s);
    for (const TapInfo* node = first; node != nullptr; node = node->next.get()) {
        // The nodes before a failed one are applied.
        if (WriteTapVoltages(s, node->tap, Millivolts(node->output), Millivolts(node->threshold))
                .failed()) {
            return kFail;
        }
    }
    if (held.Finish().failed()) return kFail;
    ArmSettle(s, kSettleTapVoltage);
    return kOk;
}

Result GetTapVoltageEx(ControllerSession& s, uint32_t tap, uint32_t* output, uint32_t* threshold) {
    const uint32_t index = tap - 1;
    if (!TakesVoltages(TapTypeOf(s, index))) return kFail;
    return ReadTenths(s, index, output, threshold);
}

Outcome SetTapVoltage(ControllerSession& s, const ZPX_DeviceInfo& info,
                      const ZPX_TapVoltageRequest& request) {
    uint32_t ignored = 0;
    if (device::ReadRegister(s, device::kPodRegister, &ignored).failed()) return Reason::kFailed;
    if (info.PodKind != 1) return Reason::kNotAvailable;
    // Held until the end, or until a TAP out of range ends the call: the TAPs before it are set.
    device::HeldWrites held(s);
    for (uint32_t i = 0; i < kTapCount; ++i) {
        if (((request.TapMask >> i) & 1) == 0) continue;
        const int32_t output = request.Output[i];
        if (!Within(output, info.MinOutputVoltage, info.MaxOutputVoltage)) {
            return Reason::kOutOfRange;
        }
        // Only TAPs the record knows as present; the threshold is the caller's to choose.
        if (info.TapState[i] != 0) continue;
        if (WriteTapVoltages(s, i, Millivolts(output), Millivolts(request.Threshold[i])).failed()) {
            return Reason::kInvalid;
        }
    }
    if (held.Finish().failed()) return Reason::kInvalid;
    ArmSettle(s, kSettleTapVoltage);
    return kDone;
}

Outcome GetTapVoltage(ControllerSession& s, const ZPX_DeviceInfo& info, uint32_t tap,
                      uint32_t* output, uint32_t* threshold) {
    if (info.PodKind != 1) return Reason::kNotAvailable;
    return Outcome::Of(ReadTenths(s, tap - 1, output, threshold), Reason::kInvalid);
}

}  // namespace zpx::target
