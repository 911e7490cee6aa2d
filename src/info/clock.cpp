#include "info/clock.h"

#include "device/access.h"
#include "device/controller_session.h"
#include "device/settle.h"

namespace zpx::info {

using transport::kClockRangeRegister;
using transport::kClockValueRegister;

namespace {

// One row of the range scheme: requests r (kHz, a multiple of 100) with r > above fall in it.
// count = scale × (top − r) / 100 + offset, or, for the rows counting in whole steps,
// scale × ((top − r) / 100 + 1).
struct RangeRow {
    int32_t above;
    int32_t top;
    int32_t scale;
    int32_t offset;
    bool wholeSteps;
};

constexpr RangeRow kRangeRows[] = {
    {12500, 25000, 1, 6, false},  // code 0
    {6200, 12500, 2, 6, false},   // code 1
    {3100, 6200, 4, 8, false},    // code 2
    {1500, 3100, 8, 8, false},    // code 3
    {700, 1500, 16, 0, true},     // code 4
    {300, 700, 32, 0, true},      // code 5
    {100, 300, 64, 0, true},      // code 6
};
constexpr uint32_t kSlowestRangeCode = 7;
constexpr uint32_t kSlowestRangeCount = 128;

// Decoding, per range code: kHz = (base − (n − offset) / divisor) × 100, with signed, truncating
// division. Code 7 is always 100 kHz.
struct RangeDecode {
    int32_t base;
    int32_t offset;
    int32_t divisor;
};

constexpr RangeDecode kRangeDecode[] = {
    {256, 0, 1}, {125, 6, 2}, {62, 8, 4}, {31, 8, 8}, {15, 16, 16}, {7, 32, 32}, {3, 64, 64},
};

constexpr int32_t kSynthStepHz = 200000;
constexpr int32_t kSynthMaxHz = 51200000;
constexpr int32_t kSynthMinM = 82;
constexpr int32_t kSynthMaxM = 256;
constexpr int32_t kSynthMaxExponent = 14;
// With the option flag the synthesizer's range register holds this code, read back as 2^7.
constexpr uint32_t kSynthOptionCode = 15;

uint32_t RangeByte(uint32_t option, const ClockSetting& setting, ClockScheme scheme) {
    if (scheme == ClockScheme::kRange) return ((option & 1) << 3) | (setting.code & 7);
    return option == 1 ? kSynthOptionCode : (setting.code & 15);
}

bool Compute(ClockScheme scheme, int32_t hz, ClockSetting* setting) {
    if (scheme == ClockScheme::kNone || hz <= 0) return false;
    *setting = scheme == ClockScheme::kRange ? ComputeRangeSetting(hz) : ComputeSynthSetting(hz);
    return true;
}

// Whether the registers already hold `setting` with `option`.
bool InForce(ClockScheme scheme, uint32_t option, const ClockSetting& setting, uint32_t rangeByte,
             uint32_t value) {
    if (scheme == ClockScheme::kRange) {
        return ((rangeByte >> 3) & 1) == option && value == setting.value &&
               (rangeByte & 7) == setting.code;
    }
    const uint32_t code = rangeByte & 15;
    const uint32_t flag = code == kSynthOptionCode ? 1 : 0;
    const uint32_t exponent = code < kSynthOptionCode ? code : (code & 7);
    return flag == option && value == setting.value && exponent == setting.code;
}

}  // namespace

ClockScheme SchemeOf(int32_t controllerType) {
    if (controllerType == 0) return ClockScheme::kRange;
    if (controllerType >= 1 && controllerType <= 3) return ClockScheme::kSynth;
    return ClockScheme::kNone;
}

ClockSetting ComputeRangeSetting(int32_t hz) {
    const int32_t r = (hz / 1000) / 100 * 100;
    uint32_t code = 0;
    for (const RangeRow& row : kRangeRows) {
        if (r > row.above) {
            const int32_t steps = (row.top - r) / 100;
            const int32_t count =
                row.wholeSteps ? row.scale * (steps + 1) : row.scale * steps + row.offset;
            return {static_cast<uint32_t>(count), code};
        }
        ++code;
    }
    return {kSlowestRangeCount, kSlowestRangeCode};
}

ClockSetting ComputeSynthSetting(int32_t hz) {
    int32_t m = 0;
    int32_t exponent = 0;
    if (hz > 0) {
        const int32_t limit = kSynthMaxHz / hz;
        for (int32_t e = kSynthMaxExponent; e >= 0; --e) {
            const int32_t d = 1 << e;
            if (d > limit) continue;
            // d ≤ 51.2 MHz / hz keeps (hz + 1) × d far below 2^31.
            m = ((hz + 1) * d - 1) / kSynthStepHz;
            if (m >= kSynthMinM && m <= kSynthMaxM) {
                exponent = e;
                break;
            }
        }
    }
    return {static_cast<uint32_t>(m - 1) & 0xFF, static_cast<uint32_t>(exponent)};
}

uint32_t DecodeRangeSetting(uint32_t count, uint32_t rangeByte) {
    const uint32_t code = rangeByte & 7;
    if (code == kSlowestRangeCode) return 100;
    const RangeDecode& row = kRangeDecode[code];
    const int32_t n = static_cast<int32_t>(count);
    return static_cast<uint32_t>((row.base - (n - row.offset) / row.divisor) * 100);
}

uint32_t DecodeSynthSetting(uint32_t value, uint32_t rangeByte) {
    const uint32_t code = rangeByte & 15;
    const uint32_t exponent = code < kSynthOptionCode ? code : (code & 7);
    return ((value + 1) * (kSynthStepHz / 1000)) >> exponent;
}

Result ProgramClock(ControllerSession& s, uint32_t option, const ClockSetting& setting,
                    ClockScheme scheme) {
    if (device::WriteClockRegister(s, kClockValueRegister, setting.value).failed()) {
        return kFail;
    }
    if (device::WriteClockRegister(s, kClockRangeRegister, RangeByte(option, setting, scheme))
            .failed()) {
        return kFail;
    }
    ArmSettle(s, kSettleClock);
    return kOk;
}

Result SetClock(ControllerSession& s, uint32_t option, int32_t hz) {
    const ClockScheme scheme = SchemeOf(s.controllerType);
    ClockSetting setting{};
    if (!Compute(scheme, hz, &setting)) return kFail;
    if (ProgramClock(s, option, setting, scheme).failed()) return kFail;
    ArmSettle(s, kSettleClock);
    return kOk;
}

Result CheckClock(ControllerSession& s, uint32_t option, int32_t hz) {
    const ClockScheme scheme = SchemeOf(s.controllerType);
    ClockSetting setting{};
    if (!Compute(scheme, hz, &setting)) return kFail;
    uint32_t rangeByte = 0;
    uint32_t value = 0;
    if (device::ReadClockRegister(s, kClockRangeRegister, &rangeByte).failed() ||
        device::ReadClockRegister(s, kClockValueRegister, &value).failed()) {
        return kFail;
    }
    // Already in force: no write, and no settle to wait for.
    if (InForce(scheme, option, setting, rangeByte, value)) return kOk;
    if (ProgramClock(s, option, setting, scheme).failed()) return kFail;
    ArmSettle(s, kSettleClock);
    return kOk;
}

Result ReadClockKhz(ControllerSession& s, uint32_t* khz) {
    *khz = 0;
    const ClockScheme scheme = SchemeOf(s.controllerType);
    if (scheme == ClockScheme::kNone) return kFail;
    uint32_t rangeByte = 0;
    uint32_t value = 0;
    if (device::ReadClockRegister(s, kClockRangeRegister, &rangeByte).failed() ||
        device::ReadClockRegister(s, kClockValueRegister, &value).failed()) {
        return kFail;
    }
    *khz = scheme == ClockScheme::kRange ? DecodeRangeSetting(value, rangeByte)
                                         : DecodeSynthSetting(value, rangeByte);
    return kOk;
}

}  // namespace zpx::info
