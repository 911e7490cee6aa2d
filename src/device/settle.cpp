#include "device/settle.h"

#include "platform/platform.h"

namespace zpx {

namespace {

constexpr uint32_t kKindMillis = 2;
constexpr uint32_t kKindMicros = 1;

struct SlotSpec {
    uint32_t code;
    uint32_t kind;
    uint32_t millis;        // delay of a kind-2 slot
    uint32_t periodFactor;  // delay of a kind-1 slot, in test-clock periods
};

constexpr SlotSpec kSlots[kSettleSlots] = {
    {kSettlePodPower, kKindMillis, 300, 0}, {kSettleTapVoltage, kKindMillis, 150, 0},
    {kSettleClock, kKindMillis, 250, 0},    {kSettleStart, kKindMicros, 0, 1},
    {kSettleStopped, kKindMicros, 0, 6},    {kSettleReset, kKindMillis, 500, 0},
};

int SlotOf(uint32_t code) {
    for (int i = 0; i < kSettleSlots; ++i) {
        if (kSlots[i].code == code) return i;
    }
    return -1;
}

}  // namespace

uint32_t ClockPeriodMicros(int32_t tckKhz) {
    // A session whose clock was never set to a positive frequency counts as running at 1 kHz.
    if (tckKhz <= 0) tckKhz = 1;
    return static_cast<uint32_t>((tckKhz + 999) / tckKhz);
}

void ArmSettle(ControllerSession& s, int32_t available, uint32_t code) {
    const int slot = SlotOf(code);
    if (slot < 0) return;
    const SlotSpec& row = kSlots[slot];
    const uint32_t delay =
        row.kind == kKindMillis ? row.millis : row.periodFactor * ClockPeriodMicros(s.tckKhz);
    platform::Clock& p = platform::Use<platform::Clock>();
    if (available > 0) {
        uint16_t& id = s.alarmIds[slot];
        if (id != 0) {
            p.AlarmReset(id);
        } else {
            id = p.AlarmAlloc(row.kind);
            p.AlarmSet(id, delay);
        }
    } else {
        p.DelayDirect(row.kind == kKindMillis ? delay * 1000 : delay);
    }
}

void ArmSettle(ControllerSession& s, uint32_t code) {
    ArmSettle(s, platform::Use<platform::Clock>().AlarmAvail(), code);
}

void AwaitSettle(ControllerSession& s, uint32_t code) {
    const int slot = SlotOf(code);
    if (slot < 0) return;
    uint16_t& id = s.alarmIds[slot];
    if (id == 0) return;
    platform::Clock& p = platform::Use<platform::Clock>();
    p.AlarmWait(id);
    p.AlarmFree(id);
    id = 0;
}

}  // namespace zpx
