// The test clock: turning a frequency into the two generator register bytes, programming them,
// checking them and reading the frequency in force back.
//
// Two generators exist. The 5120 family (controller type 0) has eight ranges with a linear count
// each, on a 100 kHz grid from 100 kHz to 25 MHz. The 51x4 family (types 1 to 3) has a
// synthesizer of M × 200 kHz (M 82 to 256) behind a divider by 2^e (e 0 to 14), for 1 kHz to
// 40 MHz. Every newly written setting arms the 250 ms clock settle, which starting the controller
// and closing wait for.
#pragma once

#include <cstdint>

#include "core/result.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::info {

enum class ClockScheme { kNone, kRange, kSynth };

ClockScheme SchemeOf(int32_t controllerType);

// One request as register contents: for the range scheme the count and the range code 0-7, for
// the synthesizer M − 1 and the divider exponent 0-14.
struct ClockSetting {
    uint32_t value;
    uint32_t code;
};

// The range scheme cuts the request down to a multiple of 100 kHz.
ClockSetting ComputeRangeSetting(int32_t hz);
// The largest divider that keeps the synthesizer at or below 51.2 MHz, then M rounded down to a
// step of 200 kHz / 2^e. A request no divider can serve (above 51.2 MHz, or not positive) gives
// e 0 with the last M computed, or M 0 when none was.
ClockSetting ComputeSynthSetting(int32_t hz);
// Register bytes back to kHz; only bits 0-2 of the range byte count for the range scheme.
uint32_t DecodeRangeSetting(uint32_t count, uint32_t rangeByte);
uint32_t DecodeSynthSetting(uint32_t value, uint32_t rangeByte);

// Writes the value register, then the range register (with `option`), then arms the settle.
// A failed value write leaves the range register untouched; neither failure arms anything.
Result ProgramClock(ControllerSession& s, uint32_t option, const ClockSetting& setting,
                    ClockScheme scheme);

// Programs the setting for `hz` and arms the settle once more: with alarms, the 250 ms then
// count from this second arming. Fails, writing nothing, for a controller without a clock and for
// a request that is not a positive frequency.
Result SetClock(ControllerSession& s, uint32_t option, int32_t hz);
// As SetClock, but reads both registers first and writes (and arms) nothing when they already
// hold the setting.
Result CheckClock(ControllerSession& s, uint32_t option, int32_t hz);
// The frequency in force, in whole kHz; 0 in *khz on failure.
Result ReadClockKhz(ControllerSession& s, uint32_t* khz);

}  // namespace zpx::info
