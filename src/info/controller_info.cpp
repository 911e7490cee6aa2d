#include "info/controller_info.h"

#include <cstddef>
#include <memory>

#include "device/access.h"
#include "device/controller_session.h"
#include "device/identity.h"
#include "info/clock.h"
#include "target/pod.h"
#include "target/pod_link.h"
#include "target/tap_voltages.h"

namespace zpx::info {

namespace {

constexpr uint32_t kMemoryKinds = 6;
constexpr uint32_t kTaps = 4;
// The word at offset 208 of the record is cleared by every refresh.
constexpr size_t kRefreshClearedWord = 29;
static_assert(offsetof(ZPX_ControllerInfoRecord, Reserved2) + 4 * kRefreshClearedWord == 208);

// Query bits that need the pod type, and those that need the TAP types.
constexpr uint32_t kNeedsPodType = 0x3E3E;
constexpr uint32_t kNeedsTapTypes = 0x3C3C;
constexpr int kSerialAttempts = 25;

// Reads a serial number up to 25 times while both words are still 0: a ROM that fails its
// check reads as 0 and is asked again. `failures` says whether a failed read ends the loop with
// failure or counts as one more attempt.
enum class Failures { kReport, kIgnore };
template <typename Read>
Result ReadSerial(uint32_t* high, uint32_t* low, Failures failures, Read read) {
    for (int attempt = 0; attempt < kSerialAttempts && *high == 0 && *low == 0; ++attempt) {
        if (read(high, low).failed() && failures == Failures::kReport) return kFail;
    }
    return kOk;
}

// Words of the query that every answer starts from: the masks' answer and the serial numbers.
void ClearAnswers(ZPX_InfoQuery& q) {
    q.ValidMask = 0;
    q.ControllerSerialHigh = q.ControllerSerialLow = 0;
    q.TransceiverSerialHigh = q.TransceiverSerialLow = 0;
    for (auto& pod : q.PodSerial)
        pod[0] = pod[1] = 0;
}

// The pod's power state: 3 for the 5120 family, which powers its pod with the controller.
Result PowerState(ControllerSession& s, bool fixedPower, uint32_t* state) {
    if (fixedPower) {
        *state = target::kPowerOn;
        return kOk;
    }
    uint32_t power = 0;
    if (device::ReadRegister(s, transport::kPodPowerRegister, &power).failed()) return kFail;
    *state = power & target::kPowerStateBits;
    return kOk;
}

// Items 0x40, 0x80 and 0x100 of a 51x4 controller: a failed read fails the query.
Result AnswerIdentity(ControllerSession& s, ZPX_InfoQuery& q) {
    const uint32_t request = q.RequestMask;
    if ((request & ZPX_QUERY_CONTROLLER_SERIAL) != 0) {
        if (ReadSerial(
                &q.ControllerSerialHigh, &q.ControllerSerialLow, Failures::kReport,
                [&](uint32_t* h, uint32_t* l) { return device::ReadControllerSerial(s, h, l); })
                .failed()) {
            return kFail;
        }
        q.ValidMask |= ZPX_QUERY_CONTROLLER_SERIAL;
    }
    if ((request & ZPX_QUERY_EPLD_REVISION) != 0) {
        if (device::ReadHwRevision(s, &q.EpldRevision).failed()) return kFail;
        q.ValidMask |= ZPX_QUERY_EPLD_REVISION;
    }
    if ((request & ZPX_QUERY_FLASH_CODE) != 0) {
        if (s.flashCode != 0) {
            q.FlashCode = s.flashCode;
        } else if (device::ReadFlashCode(s, &q.FlashCode).failed()) {
            return kFail;
        }
        q.ValidMask |= ZPX_QUERY_FLASH_CODE;
    }
    return kOk;
}

void AnswerTransceiverSerial(ControllerSession& s, ZPX_InfoQuery& q) {
    if ((q.RequestMask & ZPX_QUERY_TRANSCEIVER_SERIAL) == 0) return;
    // A transceiver that does not answer leaves its serial 0; the item is still answered.
    (void)ReadSerial(
        &q.TransceiverSerialHigh, &q.TransceiverSerialLow, Failures::kIgnore,
        [&](uint32_t* h, uint32_t* l) { return device::ReadTransceiverSerial(s, h, l); });
    q.ValidMask |= ZPX_QUERY_TRANSCEIVER_SERIAL;
}

void AnswerPodSerial(ControllerSession& s, ZPX_InfoQuery& q, uint32_t pod) {
    if ((q.RequestMask & ZPX_QUERY_POD_SERIAL(pod)) == 0) return;
    // As the transceiver's: failures leave the serial 0.
    (void)ReadSerial(&q.PodSerial[pod][0], &q.PodSerial[pod][1], Failures::kIgnore,
                     [&](uint32_t* h, uint32_t* l) { return device::ReadPodSerial(s, pod, h, l); });
    q.ValidMask |= ZPX_QUERY_POD_SERIAL(pod);
}

// The TAP-state block entry of the pod types 0 to 3.
int32_t TapStateOfPod(int32_t podType) {
    if (podType == 0) return 4;
    return podType == 1 ? 0 : 1;
}

}  // namespace

ZPX_ControllerInfoRecord* GetControllerInfo(ControllerSession& s) {
    if (!s.controllerInfo) s.controllerInfo = std::make_unique<ControllerInfoHolder>();
    ControllerInfoHolder& info = *s.controllerInfo;
    ZPX_ControllerInfoRecord& r = info.record;
    r.ValidMask = 0;
    r.Reserved0 = 0;

    const device::FrequencyLimits limits = device::FrequencyLimitsOf(s.controllerType);
    r.InterfaceKind = static_cast<uint32_t>(s.interfaceKind);
    r.ControllerType = s.controllerType;
    r.MaxFrequencyKhz = limits.maximumKhz;
    r.MinFrequencyKhz = limits.minimumKhz;
    r.ValidMask |= ZPX_RECORD_INTERFACE | ZPX_RECORD_CONTROLLER_TYPE | ZPX_RECORD_MAX_FREQUENCY |
                   ZPX_RECORD_MIN_FREQUENCY;
    for (uint32_t kind = 0; kind < kMemoryKinds; ++kind) {
        uint32_t size = 0;
        // A size that cannot be looked up keeps its field and leaves its bit clear.
        if (device::LookupMemorySize(s, static_cast<int32_t>(kind), &size).failed()) continue;
        r.MemorySize[kind] = size;
        r.ValidMask |= ZPX_RECORD_MEMORY_SIZE(kind);
    }
    r.PodType = s.podType;
    r.ValidMask |= ZPX_RECORD_POD_TYPE;

    r.TapStates = r.MinOutputVoltage = r.MaxOutputVoltage = nullptr;
    if (s.podType >= 0 && s.podType <= 3) {
        r.TapCount = kTaps;
        r.ValidMask |= ZPX_RECORD_TAP_COUNT;
        // The blocks are refilled by every refresh.
        for (uint32_t i = 0; i < kTaps; ++i) {
            info.tapStates[i] = TapStateOfPod(s.podType);
            // TAPs never probed count as absent.
            const target::VoltageRange range = target::VoltageRangeOf(target::TapTypeOf(s, i));
            info.minOutput[i] = range.minOutput;
            info.maxOutput[i] = range.maxOutput;
        }
        info.tapStates[kTaps] = info.minOutput[kTaps] = info.maxOutput[kTaps] = 0;
        r.TapStates = info.tapStates;
        r.MinOutputVoltage = info.minOutput;
        r.MaxOutputVoltage = info.maxOutput;
        r.ValidMask |= ZPX_RECORD_TAP_STATES | ZPX_RECORD_MIN_OUTPUT | ZPX_RECORD_MAX_OUTPUT;
    } else {
        r.TapCount = 0;
    }
    r.Reserved1 = nullptr;
    // A clock that cannot be read shows as 0 kHz.
    (void)ReadClockKhz(s, &r.FrequencyKhz);
    r.ValidMask |= ZPX_RECORD_FREQUENCY;
    r.Reserved2[kRefreshClearedWord] = 0;
    return &r;
}

Result ControllerInfo(ControllerSession& s, const ZPX_DeviceInfo& d, ZPX_InfoQuery& q) {
    ClearAnswers(q);
    const uint32_t request = q.RequestMask;
    if ((request & ZPX_QUERY_CONTROLLER_TYPE) != 0) {
        q.ControllerType = d.ControllerKind;
        q.ValidMask |= ZPX_QUERY_CONTROLLER_TYPE;
    }
    uint32_t state = 0;
    if (PowerState(s, d.ControllerKind == 0, &state).failed()) return kFail;
    // The pod part of the record counts only while the pod has power.
    if (state == target::kPowerOn) {
        if ((request & ZPX_QUERY_POD_TYPE) != 0) {
            q.PodType = d.PodKind;
            q.ValidMask |= ZPX_QUERY_POD_TYPE;
        }
        for (uint32_t i = 0; i < kTaps; ++i) {
            if ((request & ZPX_QUERY_TAP(i)) == 0) continue;
            q.Tap[i] = d.TapState[i];
            q.ValidMask |= ZPX_QUERY_TAP(i);
        }
    }
    if (Is51x4Model(d.ControllerKind)) {
        if (AnswerIdentity(s, q).failed()) return kFail;
        if (state == target::kPowerOn && d.PodKind == 1) {
            AnswerTransceiverSerial(s, q);
            for (uint32_t p = 0; p < kTaps; ++p) {
                if (d.TapState[p] == 0) AnswerPodSerial(s, q, p);
            }
        }
    }
    if ((request & ZPX_QUERY_MEMORY_SIZE) != 0) {
        q.MemorySize2Mib = d.MemorySize[2] >> 20;
        q.ValidMask |= ZPX_QUERY_MEMORY_SIZE;
    }
    return kOk;
}

Result ControllerInfoNew(ControllerSession& s, ZPX_InfoQuery& q) {
    ClearAnswers(q);
    const uint32_t request = q.RequestMask;
    if ((request & ZPX_QUERY_CONTROLLER_TYPE) != 0) {
        q.ControllerType = s.controllerType;
        q.ValidMask |= ZPX_QUERY_CONTROLLER_TYPE;
    }
    const bool fixedPower = s.controllerType == 0;
    uint32_t state = 0;
    if (PowerState(s, fixedPower, &state).failed()) return kFail;
    // Whether the pod is active; the copy follows the controller, nothing is written.
    bool active = false;
    if (fixedPower) {
        active = (s.register2Copy & target::kLinkActive) != 0;
    } else {
        uint32_t power = 0;
        if (device::ReadRegister(s, transport::kPodPowerRegister, &power).ok() &&
            (power & target::kPowerPodActive) != 0) {
            active = true;
            s.register2Copy |= target::kLinkActive;
        }
    }
    if (state == target::kPowerOn) {
        if ((request & kNeedsPodType) != 0) {
            // What cannot be detected stays undetermined and unanswered.
            if (s.podType == target::kPodUnknown) (void)target::DetectPodType(s);
            if (s.podType != target::kPodUnknown) {
                q.PodType = s.podType;
                q.ValidMask |= ZPX_QUERY_POD_TYPE;
            }
        }
        if (s.podType != target::kPodUnknown && (request & kNeedsTapTypes) != 0 && active) {
            // TAPs that cannot be probed stay unanswered.
            if (s.tapCount == 0) (void)target::ProbeTapTypes(s);
            for (uint32_t i = 0; i < kTaps; ++i) {
                if ((request & ZPX_QUERY_TAP(i)) == 0 || s.tapCount <= i) continue;
                q.Tap[i] = target::TapTypeOf(s, i);
                q.ValidMask |= ZPX_QUERY_TAP(i);
            }
        }
    }
    if (Is51x4Model(s.controllerType)) {
        if (AnswerIdentity(s, q).failed()) return kFail;
        if (state == target::kPowerOn && target::IsIdentifiedPod(s.podType)) {
            AnswerTransceiverSerial(s, q);
            if (active) {
                for (uint32_t p = 0; p < kTaps; ++p) {
                    const int32_t type = target::TapTypeOf(s, p);
                    if (s.tapCount > p && (type == 0 || type == 1)) AnswerPodSerial(s, q, p);
                }
            }
        }
    }
    if ((request & ZPX_QUERY_MEMORY_SIZE) != 0) {
        uint32_t size = 0;
        if (device::LookupMemorySize(s, 2, &size).ok()) {
            q.MemorySize2Mib = size >> 20;
            q.ValidMask |= ZPX_QUERY_MEMORY_SIZE;
        }
    }
    return kOk;
}

void GetTapType(const ControllerSession& s, int32_t tap, int32_t* type) {
    if (type == nullptr || tap < 1 || static_cast<uint32_t>(tap) > s.tapCount) return;
    *type = target::TapTypeOf(s, static_cast<uint32_t>(tap - 1));
}

namespace {

Result RangeOf(const ControllerSession& s, int32_t index, target::VoltageRange* range) {
    if (index < 0 || static_cast<uint32_t>(index) >= s.tapCount) return kFail;
    *range = target::VoltageRangeOf(target::TapTypeOf(s, static_cast<uint32_t>(index)));
    return kOk;
}

}  // namespace

Result GetOutputVoltRange(const ControllerSession& s, int32_t index, int32_t* minimum,
                          int32_t* maximum) {
    target::VoltageRange range{};
    if (RangeOf(s, index, &range).failed()) return kFail;
    *minimum = range.minOutput;
    *maximum = range.maxOutput;
    return kOk;
}

Result GetThresholdVoltRange(const ControllerSession& s, int32_t index, int32_t* minimum,
                             int32_t* maximum) {
    target::VoltageRange range{};
    if (RangeOf(s, index, &range).failed()) return kFail;
    *minimum = range.minThreshold;
    *maximum = range.maxThreshold;
    return kOk;
}

}  // namespace zpx::info
