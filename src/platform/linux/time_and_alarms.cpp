// Settle alarms with hrt_alarm_* semantics on the monotonic clock, sleeps and ticks.
#include <sched.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <mutex>

#include "platform/linux/linux_platform.h"

namespace zpx::platform::linux_impl {

namespace {

// A plain sleep here wakes 70 to 180 microseconds after its deadline. Waits sleep until this
// margin before the deadline and finish by watching the clock.
constexpr uint64_t kSpinMarginMicros = 300;

constexpr uint32_t kKindMicros = 1;
constexpr uint32_t kKindMillis = 2;

// The monotonic clock rounded up to the next whole microsecond. Deadlines are counted from it: one
// counted from the truncated clock could fall up to a microsecond short of the full delay.
uint64_t NowRoundedUp() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 +
           (static_cast<uint64_t>(ts.tv_nsec) + 999) / 1000;
}

struct Alarm {
    bool allocated = false;
    uint32_t kind = 0;
    uint32_t delay = 0;
    uint64_t deadline = 0;  // monotonic microseconds; 0 = not started
};

// The process-wide alarm table. Identifiers are index + 1, so 0 never names an alarm.
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

AlarmTable& Alarms() {
    static AlarmTable table;
    return table;
}

timespec ToTimespec(uint64_t micros) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(micros / 1000000);
    ts.tv_nsec = static_cast<long>((micros % 1000000) * 1000);
    return ts;
}

}  // namespace

uint64_t MonotonicMicros() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

void SleepUntilMicros(uint64_t deadline) {
    uint64_t now = MonotonicMicros();
    if (deadline > now + kSpinMarginMicros) {
        const timespec wake = ToTimespec(deadline - kSpinMarginMicros);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) != 0) {
        }
    }
    while (MonotonicMicros() < deadline) {
    }
}

int16_t LinuxPlatform::AlarmAvail() {
    return Alarms().Available();
}
uint16_t LinuxPlatform::AlarmAlloc(uint32_t kind) {
    return Alarms().Allocate(kind == kKindMicros ? kKindMicros : kKindMillis);
}
void LinuxPlatform::AlarmSet(uint16_t id, uint32_t delay) {
    Alarms().Set(id, delay);
}
void LinuxPlatform::AlarmReset(uint16_t id) {
    Alarms().Reset(id);
}
void LinuxPlatform::AlarmWait(uint16_t id) {
    const uint64_t deadline = Alarms().Deadline(id);
    if (deadline != 0) SleepUntilMicros(deadline);
}
void LinuxPlatform::AlarmFree(uint16_t id) {
    Alarms().Free(id);
}

void LinuxPlatform::DelayDirect(uint32_t micros) {
    SleepUntilMicros(NowRoundedUp() + micros);
}

void LinuxPlatform::SleepMs(uint32_t ms) {
    timespec ts = ToTimespec(uint64_t{ms} * 1000);
    while (nanosleep(&ts, &ts) != 0) {
    }
}

uint32_t LinuxPlatform::TickMs() {
    return static_cast<uint32_t>(MonotonicMicros() / 1000);
}

void LinuxPlatform::YieldThread() {
    sched_yield();
}

}  // namespace zpx::platform::linux_impl
