// Settle alarms with hrt_alarm_* semantics, the direct delay, sleeps and ticks, on the clock
// primitives of the operating-system layer. The alarm table is the process-wide one the design
// allows: alarms are handed out by identifier and may be waited for from any thread.
#include <array>
#include <cstdint>
#include <mutex>

#include "core/immortal.h"
#include "platform/platform.h"
#include "platform/system_time.h"

namespace zpx::platform {

namespace {

constexpr uint32_t kKindMicros = 1;
constexpr uint32_t kKindMillis = 2;

// The monotonic clock rounded up to the next whole microsecond. Deadlines are counted from it: one
// counted from the truncated clock could fall up to a microsecond short of the full delay.
uint64_t NowRoundedUp() {
    return (os::MonotonicNanos() + 999) / 1000;
}

// Waits until the monotonic clock reaches `deadline` (microseconds): never early, and only a few
// microseconds late, since the last stretch is spent watching the clock instead of sleeping.
void WaitUntilMicros(uint64_t deadline) {
    const uint64_t deadlineNanos = deadline * 1000;
    const uint64_t margin = os::WakeLatenessNanos();
    if (deadlineNanos > os::MonotonicNanos() + margin) os::SleepUntilNanos(deadlineNanos - margin);
    while (os::MonotonicNanos() < deadlineNanos) {
    }
}

struct Alarm {
    bool allocated = false;
    uint32_t kind = 0;
    uint32_t delay = 0;
    uint64_t deadline = 0;  // monotonic microseconds; 0 = not started
};

// Identifiers are index + 1, so 0 never names an alarm.
class AlarmTable {
  public:
    static constexpr size_t kSize = 1024;

    int16_t Available() {
        std::lock_guard lock(mutex_);
        return static_cast<int16_t>(kSize - used_ > 0x7FFF ? 0x7FFF : kSize - used_);
    }

    uint16_t Allocate(uint32_t kind) {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < kSize; ++i) {
            const size_t slot = (next_ + i) % kSize;
            if (!alarms_[slot].allocated) {
                alarms_[slot] = Alarm{true, kind, 0, 0};
                next_ = slot + 1;
                ++used_;
                return static_cast<uint16_t>(slot + 1);
            }
        }
        return 0;
    }

    void Set(uint16_t id, uint32_t delay) {
        std::lock_guard lock(mutex_);
        if (Alarm* a = Find(id)) {
            a->delay = delay;
            a->deadline = NowRoundedUp() + DelayMicros(*a);
        }
    }

    void Reset(uint16_t id) {
        std::lock_guard lock(mutex_);
        if (Alarm* a = Find(id)) a->deadline = NowRoundedUp() + DelayMicros(*a);
    }

    uint64_t Deadline(uint16_t id) {
        std::lock_guard lock(mutex_);
        Alarm* a = Find(id);
        return a != nullptr ? a->deadline : 0;
    }

    void Free(uint16_t id) {
        std::lock_guard lock(mutex_);
        if (Alarm* a = Find(id)) {
            *a = Alarm{};
            --used_;
        }
    }

  private:
    static uint64_t DelayMicros(const Alarm& a) {
        return a.kind == kKindMillis ? uint64_t{a.delay} * 1000 : uint64_t{a.delay};
    }

    Alarm* Find(uint16_t id) {
        if (id == 0 || id > kSize || !alarms_[id - 1].allocated) return nullptr;
        return &alarms_[id - 1];
    }

    std::mutex mutex_;
    std::array<Alarm, kSize> alarms_{};
    size_t used_ = 0;
    size_t next_ = 0;
};

class SystemClock final : public Clock {
  public:
    int16_t AlarmAvail() override { return alarms_.Available(); }
    uint16_t AlarmAlloc(uint32_t kind) override {
        return alarms_.Allocate(kind == kKindMicros ? kKindMicros : kKindMillis);
    }
    void AlarmSet(uint16_t id, uint32_t delay) override { alarms_.Set(id, delay); }
    void AlarmReset(uint16_t id) override { alarms_.Reset(id); }
    void AlarmWait(uint16_t id) override {
        const uint64_t deadline = alarms_.Deadline(id);
        if (deadline != 0) WaitUntilMicros(deadline);
    }
    void AlarmFree(uint16_t id) override { alarms_.Free(id); }
    void DelayDirect(uint32_t micros) override { WaitUntilMicros(NowRoundedUp() + micros); }
    void SleepMs(uint32_t ms) override { os::SleepMs(ms); }
    uint32_t TickMs() override { return os::TickMs(); }
    void YieldThread() override { os::YieldThread(); }

  private:
    AlarmTable alarms_;
};

}  // namespace

template <>
Clock& System<Clock>() {
    static Immortal<SystemClock> clock;
    return clock.get();
}

}  // namespace zpx::platform
