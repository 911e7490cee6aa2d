// The main of the benchmarks that time loopback round trips: every thread of the program (client,
// peer, emulator, proxy) runs on one core. A round trip on loopback costs about 12 µs when both
// ends share a core and about 29 µs when the scheduler puts them on different cores, and it moves
// them at will: unpinned, two peers measured side by side swing between ratios of 0.4 and 2.4
// from run to run.
#pragma once

#include <benchmark/benchmark.h>
#include <sched.h>

int main(int argc, char** argv) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    (void)sched_setaffinity(0, sizeof one, &one);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
