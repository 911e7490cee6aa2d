// Clock primitives: the performance counter, high-resolution waitable timers, the tick counter.
#include <windows.h>

#include "platform/system_time.h"

namespace zpx::platform::os {

namespace {

uint64_t CounterFrequency() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    return frequency;
}

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// One timer per thread, made on the thread's first wait: a high-resolution one where the system
// has them, a plain one otherwise. The precise waits finish by watching the clock, so a coarse
// timer only costs spinning, never an early end.
class ThreadTimer {
  public:
    ThreadTimer() {
        timer_ = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
        if (timer_ == nullptr) timer_ = ::CreateWaitableTimerW(nullptr, TRUE, nullptr);
    }
    ~ThreadTimer() {
        if (timer_ != nullptr) ::CloseHandle(timer_);
    }
    ThreadTimer(const ThreadTimer&) = delete;
    ThreadTimer& operator=(const ThreadTimer&) = delete;

    // Waits for `nanos` nanoseconds or somewhat longer.
    void Wait(uint64_t nanos) {
        // Relative due times are negative, in units of 100 ns, rounded up.
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>((nanos + 99) / 100);
        if (timer_ != nullptr && ::SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
            ::WaitForSingleObject(timer_, INFINITE);
            return;
        }
        ::Sleep(static_cast<DWORD>((nanos + 999999) / 1000000));
    }

  private:
    HANDLE timer_ = nullptr;
};

}  // namespace

uint64_t MonotonicNanos() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t frequency = CounterFrequency();
    // Split so that the product cannot overflow however long the system has run.
    return ticks / frequency * 1000000000 + ticks % frequency * 1000000000 / frequency;
}

void SleepUntilNanos(uint64_t deadline) {
    thread_local ThreadTimer timer;
    // A timer may end a little before the counter reaches the deadline (they tick apart):
    // wait again for what is left.
    for (uint64_t now = MonotonicNanos(); now < deadline; now = MonotonicNanos()) {
        timer.Wait(deadline - now);
    }
}

uint64_t WakeLatenessNanos() {
    // High-resolution timers wake within about half a millisecond; plain ones far later, which
    // the precise waits absorb by spinning.
    return 1000000;
}

void SleepMs(uint32_t ms) {
    ::Sleep(ms);
}

uint32_t TickMs() {
    return static_cast<uint32_t>(::GetTickCount());
}

void YieldThread() {
    ::SwitchToThread();
}

}  // namespace zpx::platform::os
