// The clock primitives each operating-system layer provides; the alarm table and the precise
// waits built on them are shared by every system.
#pragma once

#include <cstdint>

namespace zpx::platform::os {

// A monotonic clock in nanoseconds: never steps backwards, unaffected by setting the date.
uint64_t MonotonicNanos();
// Sleeps until the monotonic clock reads `deadline` or later; may wake late, never early.
void SleepUntilNanos(uint64_t deadline);
// How late SleepUntilNanos typically wakes: precise waits sleep until this margin before their
// deadline and finish by watching the clock.
uint64_t WakeLatenessNanos();

#ifdef _WIN32
// Test-only (part of the static core alone, never exported): makes the calling thread wait on a
// plain timer, as on systems without high-resolution timers (true), or on the best the system
// has again (false).
void UsePlainTimerForTesting(bool plain);
#endif

void SleepMs(uint32_t ms);
// The system's millisecond tick counter.
uint32_t TickMs();
void YieldThread();

}  // namespace zpx::platform::os
