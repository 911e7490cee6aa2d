// Cost of the call frame: ZPX_GetControllerType on an opened session (null check, in-use guard
// taken and given back, exception barrier) against a raw baseline that reads the same field
// through an out-of-line call with the null check alone. Both run back to back in every
// iteration. Figures: lib_ns, raw_ns per call and ratio (lib / raw).
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "device/controller_session.h"
#include "driver_fixture.h"
#include "fake_platform.h"
#include "zpx/zpx.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatch = 1000;

__attribute__((noinline)) uint32_t RawGetControllerType(ZPX_Handle handle, uint32_t* type) {
    if (handle == nullptr) return ZPX_STATUS_NULL_HANDLE;
    *type = static_cast<uint32_t>(zpx::SessionOf(handle).controllerType);
    return ZPX_STATUS_OK;
}

void BM_CallFrame(benchmark::State& state) {
    zpx::testing::ScopedFakePlatform fake;
    fake->AddDevice("\\\\.\\PCI51X4EX_0", zpx::testing::RegisterFileHandler(
                                              std::make_shared<zpx::testing::RegisterFile>()));
    uint32_t status = 0;
    ZPX_Handle h = ZPX_OpenController("PCI", &status);
    if (h == nullptr) {
        state.SkipWithError("open failed");
        return;
    }
    uint32_t type = 0;
    Clock::duration lib{}, raw{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            benchmark::DoNotOptimize(ZPX_GetControllerType(h, &type));
            benchmark::ClobberMemory();
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            benchmark::DoNotOptimize(RawGetControllerType(h, &type));
            benchmark::ClobberMemory();
        }
        lib += t1 - t0;
        raw += Clock::now() - t1;
    }
    const double calls = static_cast<double>(state.iterations()) * kBatch;
    const double libNs = std::chrono::duration<double, std::nano>(lib).count() / calls;
    const double rawNs = std::chrono::duration<double, std::nano>(raw).count() / calls;
    state.counters["lib_ns"] = libNs;
    state.counters["raw_ns"] = rawNs;
    state.counters["ratio"] = libNs / rawNs;
    ZPX_CloseController(h);
}
BENCHMARK(BM_CallFrame);

}  // namespace

BENCHMARK_MAIN();
