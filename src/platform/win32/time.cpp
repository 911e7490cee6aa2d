// Clock primitives: the performance counter, waitable timers, the multimedia tick counter.
#include <windows.h>

#include <mmsystem.h>

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

// A high-resolution timer wakes within about half a millisecond of its due time.
constexpr uint64_t kHighResolutionLatenessNanos = 1000000;
// A plain timer (systems before high-resolution timers came, in Windows 10 version 1803) expires
// only on a tick of the system clock, every 15.625 ms at the system's own rate. Asking for 1 ms
// ticks (timeBeginPeriod) takes effect from the next tick at the old rate, so until one tick has
// passed a plain timer can still wake up to a whole old tick late, plus the time the thread takes
// to run again; after that it wakes within about a millisecond.
constexpr uint64_t kCoarseTickNanos = 15625000 + 1000000;
constexpr uint64_t kFineTickLatenessNanos = 2000000;
constexpr UINT kFineTickMs = 1;

void SpinUntil(uint64_t deadline) {
    while (MonotonicNanos() < deadline) {
    }
}

// Set by a test to take the plain-timer path on its thread. A plain flag: the library keeps no
// per-thread object with a destructor, which would run at thread exit from code that an unloaded
// DLL no longer has.
thread_local bool t_plainForTesting = false;

// Whether this system makes high-resolution timers; asked once.
bool HighResolutionTimers() {
    static const bool available = [] {
        const HANDLE timer = ::CreateWaitableTimerExW(
            nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (timer == nullptr) return false;
        ::CloseHandle(timer);
        return true;
    }();
    return available && !t_plainForTesting;
}

// The timer of one wait: a high-resolution one where the system has them, a plain one otherwise.
// Made for the wait and closed after it (a few microseconds against waits of milliseconds), so
// that no thread keeps a handle the library would have to give back.
class WaitTimer {
  public:
    WaitTimer() : highResolution_(HighResolutionTimers()) {
        if (highResolution_) {
            timer_ = ::CreateWaitableTimerExW(
                nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        }
        if (timer_ == nullptr) {
            highResolution_ = false;
            timer_ = ::CreateWaitableTimerW(nullptr, TRUE, nullptr);
        }
    }
    ~WaitTimer() {
        if (timer_ != nullptr) ::CloseHandle(timer_);
    }
    WaitTimer(const WaitTimer&) = delete;
    WaitTimer& operator=(const WaitTimer&) = delete;

    // Sleeps until the clock reads `deadline` or later, at most WakeLatenessNanos() later.
    void SleepUntil(uint64_t deadline) {
        if (highResolution_) {
            WaitUntil(deadline);
            return;
        }
        // Too close to sleep through a tick at the system's own rate without passing the
        // deadline: watch the clock instead.
        if (deadline <= MonotonicNanos() + kCoarseTickNanos) {
            SpinUntil(deadline);
            return;
        }
        // The first wake lands before the deadline whatever the tick; by then a tick has passed,
        // so the finer one asked for runs (when the system granted it) and the second wake is
        // within a millisecond. The finer tick costs the whole system power, so it is asked for
        // only around the wait.
        const bool fine = ::timeBeginPeriod(kFineTickMs) == TIMERR_NOERROR;
        WaitUntil(deadline - kCoarseTickNanos);
        if (fine) {
            WaitUntil(deadline);
            ::timeEndPeriod(kFineTickMs);
        }
        SpinUntil(deadline);
    }

  private:
    // A timer may end a little before the counter reaches the deadline (they tick apart): wait
    // again for what is left.
    void WaitUntil(uint64_t deadline) {
        for (uint64_t now = MonotonicNanos(); now < deadline; now = MonotonicNanos()) {
            Wait(deadline - now);
        }
    }

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

    HANDLE timer_ = nullptr;
    bool highResolution_;
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
    WaitTimer().SleepUntil(deadline);
}

uint64_t WakeLatenessNanos() {
    return HighResolutionTimers() ? kHighResolutionLatenessNanos : kFineTickLatenessNanos;
}

void UsePlainTimerForTesting(bool plain) {
    t_plainForTesting = plain;
}

void SleepMs(uint32_t ms) {
    ::Sleep(ms);
}

uint32_t TickMs() {
    return static_cast<uint32_t>(::timeGetTime());
}

void YieldThread() {
    ::Sleep(0);
}

}  // namespace zpx::platform::os
