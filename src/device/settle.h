// Settle timers: an operation that changes something needing time to settle arms its slot and
// returns; the next operation that depends on the settled state waits for that slot first.
#pragma once

#include <cstdint>

#include "device/controller_session.h"

namespace zpx {

enum SettleCode : uint32_t {
    kSettlePodPower = 0,    // 300 ms
    kSettleTapVoltage = 1,  // 150 ms
    kSettleClock = 3,       // 250 ms
    kSettleStart = 7,       // one test-clock period
    kSettleStopped = 15,    // six test-clock periods
    kSettleReset = 31,      // 500 ms
};

// One test-clock period in whole microseconds, rounded up (1000 at 1 kHz, 1 from 1000 kHz on).
uint32_t ClockPeriodMicros(int32_t tckKhz);

// `available` is what the alarm facility's availability query returned just before. With alarms
// available the slot is armed (or an armed slot restarted); without, the slot's delay is waited
// at once.
void ArmSettle(ControllerSession& s, int32_t available, uint32_t code);
// Queries availability and arms.
void ArmSettle(ControllerSession& s, uint32_t code);
// Waits for an armed slot and frees its alarm; a code that names no slot waits for nothing.
void AwaitSettle(ControllerSession& s, uint32_t code);

}  // namespace zpx
