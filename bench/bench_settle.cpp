// Lateness of the settle waits on the Linux platform: a millisecond alarm (kind 2) armed and
// awaited, and the direct delay, for 1, 10, 100 and 500 ms. The baseline is a plain relative
// clock_nanosleep of the same length, measured in the same run. Each sample is timed on the
// steady clock from before arming to after the wait returns.
// Figures (µs): lib_median and lib_max lateness, base_median lateness, ratio of the medians, and
// early: the number of waits that ended before their delay (must be 0).
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

template <typename Wait>
double Lateness(uint32_t ms, Wait wait) {
    const auto start = Clock::now();
    wait();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() - ms * 1000.0;
}

void Report(benchmark::State& state, const std::vector<double>& lib,
            const std::vector<double>& base) {
    const double libMedian = Median(lib);
    const double baseMedian = Median(base);
    state.counters["lib_median_us"] = libMedian;
    state.counters["lib_max_us"] = *std::max_element(lib.begin(), lib.end());
    state.counters["base_median_us"] = baseMedian;
    state.counters["ratio"] = libMedian / baseMedian;
    state.counters["early"] =
        static_cast<double>(std::count_if(lib.begin(), lib.end(), [](double l) { return l < 0; }));
}

void PlainSleep(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) != 0) {
    }
}

void BM_AlarmLateness(benchmark::State& state) {
    const auto ms = static_cast<uint32_t>(state.range(0));
    zpx::platform::Clock& p = zpx::platform::System<zpx::platform::Clock>();
    std::vector<double> lib, base;
    for (auto _ : state) {
        lib.push_back(Lateness(ms, [&] {
            const uint16_t id = p.AlarmAlloc(2);
            p.AlarmSet(id, ms);
            p.AlarmWait(id);
            p.AlarmFree(id);
        }));
        base.push_back(Lateness(ms, [&] { PlainSleep(ms); }));
    }
    Report(state, lib, base);
}

void BM_DirectDelayLateness(benchmark::State& state) {
    const auto ms = static_cast<uint32_t>(state.range(0));
    zpx::platform::Clock& p = zpx::platform::System<zpx::platform::Clock>();
    std::vector<double> lib, base;
    for (auto _ : state) {
        lib.push_back(Lateness(ms, [&] { p.DelayDirect(ms * 1000); }));
        base.push_back(Lateness(ms, [&] { PlainSleep(ms); }));
    }
    Report(state, lib, base);
}

// About 22 s in all: each iteration waits twice (library and baseline).
#define LATENESS_CASES(bm)                   \
    BENCHMARK(bm)->Arg(1)->Iterations(200);  \
    BENCHMARK(bm)->Arg(10)->Iterations(60);  \
    BENCHMARK(bm)->Arg(100)->Iterations(15); \
    BENCHMARK(bm)->Arg(500)->Iterations(5)

LATENESS_CASES(BM_AlarmLateness);
LATENESS_CASES(BM_DirectDelayLateness);

}  // namespace

BENCHMARK_MAIN();
