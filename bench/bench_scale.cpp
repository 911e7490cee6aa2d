// Sessions in parallel: four sessions on four emulated controllers, each on its own thread, next
// to one session alone, in the same run. Round trips of different sessions overlap, so the
// register-read rate should grow with the sessions; memory throughput must not collapse. A lock
// shared by all sessions would show here as a ratio near 1 (reads) or well below it (memory).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "lan_server.h"
#include "zpx/zpx.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Station {
    zpx::emu::Controller controller{zpx::emu::ControllerConfig{}};
    zpx::emu::LanServer server{controller};
    ZPX_Handle handle = nullptr;
    Station() {
        std::string address, error;
        if (!zpx::emu::StartOnFreeLoopback(server, zpx::emu::kLanPort, &address, &error)) return;
        uint32_t status = 0;
        handle = ZPX_OpenController(("ETH" + address).c_str(), &status);
    }
    ~Station() {
        if (handle != nullptr) ZPX_CloseController(handle);
    }
};

// Runs `work(handle)` on the first `count` stations, one thread each, for `seconds`; returns the
// units of work done per second, all threads together.
template <class Work>
double Rate(std::vector<std::unique_ptr<Station>>& stations, size_t count, double seconds,
            Work work) {
    std::atomic<bool> go{false}, stop{false};
    std::atomic<uint64_t> units{0};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            uint64_t mine = 0;
            while (!stop.load())
                mine += work(stations[i]->handle);
            units += mine;
        });
    }
    const auto start = Clock::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : threads)
        t.join();
    return static_cast<double>(units.load()) /
           std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_FourSessionsSideBySideWithOne(benchmark::State& state) {
    std::vector<std::unique_ptr<Station>> stations;
    for (int i = 0; i < 4; ++i) {
        stations.push_back(std::make_unique<Station>());
        if (stations.back()->handle == nullptr) {
            state.SkipWithError("no emulated controller");
            return;
        }
    }
    auto reads = [](ZPX_Handle h) {
        uint32_t v = 0;
        for (int i = 0; i < 50; ++i)
            if (ZPX_GetError(h, &v) != 0) return uint64_t{0};
        return uint64_t{50};
    };
    constexpr uint32_t kBytes = 256 * 1024;
    std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(kBytes, 0x5A));
    auto memory = [&](ZPX_Handle h) {
        size_t i = 0;
        while (stations[i]->handle != h)
            ++i;
        uint8_t* data = buffers[i].data();
        if (ZPX_WriteCtrlMemory(h, 1, 0, kBytes, data) != 0 ||
            ZPX_ReadCtrlMemory(h, 1, 0, kBytes, data) != 0) {
            return uint64_t{0};
        }
        return uint64_t{2 * kBytes};
    };
    double one = 0, four = 0, oneMem = 0, fourMem = 0;
    for (auto _ : state) {
        // Alternated, so that a slow stretch of the shared machine hits both figures alike.
        for (int round = 0; round < 2; ++round) {
            one += Rate(stations, 1, 1.0, reads);
            four += Rate(stations, 4, 1.0, reads);
            oneMem += Rate(stations, 1, 1.0, memory);
            fourMem += Rate(stations, 4, 1.0, memory);
        }
    }
    state.counters["reads_1_per_s"] = one / 2 / state.iterations();
    state.counters["reads_4_per_s"] = four / 2 / state.iterations();
    state.counters["reads_ratio"] = four / one;
    state.counters["mem_1_MiBps"] = oneMem / 2 / state.iterations() / (1 << 20);
    state.counters["mem_4_MiBps"] = fourMem / 2 / state.iterations() / (1 << 20);
    state.counters["mem_ratio"] = fourMem / oneMem;
}
BENCHMARK(BM_FourSessionsSideBySideWithOne)->Iterations(2)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
