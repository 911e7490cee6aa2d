// Clock primitives: the monotonic clock and absolute-deadline sleeps on it.
#include <sched.h>
#include <time.h>

#include "platform/system_time.h"

namespace zpx::platform::os {

namespace {
timespec ToTimespec(uint64_t nanos) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(nanos / 1000000000);
    ts.tv_nsec = static_cast<long>(nanos % 1000000000);
    return ts;
}
}  // namespace

uint64_t MonotonicNanos() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000 + static_cast<uint64_t>(ts.tv_nsec);
}

void SleepUntilNanos(uint64_t deadline) {
    const timespec wake = ToTimespec(deadline);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) != 0) {
    }
}

uint64_t WakeLatenessNanos() {
    // A sleep here wakes 70 to 180 microseconds after its deadline.
    return 300000;
}

void SleepMs(uint32_t ms) {
    timespec ts = ToTimespec(uint64_t{ms} * 1000000);
    while (nanosleep(&ts, &ts) != 0) {
    }
}

uint32_t TickMs() {
    return static_cast<uint32_t>(MonotonicNanos() / 1000000);
}

void YieldThread() {
    sched_yield();
}

}  // namespace zpx::platform::os
