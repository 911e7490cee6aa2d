// What standing between a station and its controller costs: the library's session with an
// emulated controller, direct and through zpx-emu's proxy recording every byte to a pcap file,
// side by side in one run on loopback, the station and the controller on one core
// (one_core_main.h).
//
// BM_ProxiedRegisterRead: ZPX_GetError round trips. Figures: direct_us, proxy_us and ratio
// (proxy_us / direct_us; goal at most 2.5).
// BM_ProxiedMemoryWrite16MiB: a 16 MiB block written, then one register read that the controller
// answers only once it has taken the whole block. Figures: direct_MiBps, proxy_MiBps and ratio
// (proxy throughput / direct; goal at least 0.7), and plain_ratio, the same through a proxy that
// does not record: what the recording costs, apart from the hop. proxy_elsewhere:1 runs the
// proxies on a core of their own, as zpx-emu --proxy does beside a station, being a process of
// its own; the goal is for that case. proxy_elsewhere:0 shares the one core: there the file
// write of the recording alone takes about a third of the direct write's time.
#include <benchmark/benchmark.h>

#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "lan_proxy.h"
#include "lan_server.h"
#include "one_core_main.h"
#include "zpx/zpx.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Runs `start` on another core than the one main is pinned to, when there is one and `elsewhere`
// says so: the threads it starts stay on that core.
template <class Start>
void StartOn(bool elsewhere, Start start) {
    cpu_set_t before;
    const int here = sched_getcpu();
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    if (!elsewhere || cores < 2 || sched_getaffinity(0, sizeof before, &before) != 0) {
        start();
        return;
    }
    cpu_set_t other;
    CPU_ZERO(&other);
    CPU_SET(here == 0 ? 1 : 0, &other);
    (void)sched_setaffinity(0, sizeof other, &other);
    start();
    (void)sched_setaffinity(0, sizeof before, &before);
}

// An emulated controller with a 16 MiB memory 2, a recording proxy and a plain one in front of
// it, and a session to each. `proxiesElsewhere` puts the proxies (and the recording's writer) on
// a core of their own, as zpx-emu --proxy runs beside a station: a process of its own.
struct Setup {
    explicit Setup(bool proxiesElsewhere) {
        zpx::emu::ControllerConfig config;
        config.type = 3;
        config.flashCode = 0xD0;
        controller = std::make_unique<zpx::emu::Controller>(config);
        server = std::make_unique<zpx::emu::LanServer>(*controller);
        std::string address, error;
        uint32_t ip = 0;
        if (!zpx::emu::StartOnFreeLoopback(*server, zpx::emu::kLanPort, &address, &error) ||
            !zpx::emu::os::ParseIpv4(address, &ip)) {
            return;
        }
        bool started = false;
        StartOn(proxiesElsewhere, [&] {
            writer = zpx::emu::PcapWriter::Create(path, &error);
            if (writer == nullptr) return;
            proxy =
                std::make_unique<zpx::emu::LanProxy>(ip, zpx::emu::kLanPort, writer.get(), nullptr);
            plainProxy =
                std::make_unique<zpx::emu::LanProxy>(ip, zpx::emu::kLanPort, nullptr, nullptr);
            started = proxy->Start("", zpx::emu::kLanPort, &error) &&
                      plainProxy->Start("", zpx::emu::kLanPort, &error);
        });
        if (!started) return;
        uint32_t status = 0;
        direct = ZPX_OpenController(("ETH" + address).c_str(), &status);
        proxied = ZPX_OpenController(("ETH" + proxy->Address()).c_str(), &status);
        plain = ZPX_OpenController(("ETH" + plainProxy->Address()).c_str(), &status);
    }
    ~Setup() {
        if (direct != nullptr) ZPX_CloseController(direct);
        if (proxied != nullptr) ZPX_CloseController(proxied);
        if (plain != nullptr) ZPX_CloseController(plain);
        if (proxy) proxy->Stop();
        if (plainProxy) plainProxy->Stop();
        if (server) server->Stop();
        std::remove(path.c_str());
    }
    bool ready() const { return direct != nullptr && proxied != nullptr && plain != nullptr; }

    const std::string path = "/tmp/zpx_bench_proxy.pcap";
    std::unique_ptr<zpx::emu::Controller> controller;
    std::unique_ptr<zpx::emu::LanServer> server;
    std::unique_ptr<zpx::emu::PcapWriter> writer;
    std::unique_ptr<zpx::emu::LanProxy> proxy, plainProxy;  // recording, and not
    ZPX_Handle direct = nullptr, proxied = nullptr, plain = nullptr;
};

void BM_ProxiedRegisterRead(benchmark::State& state) {
    Setup s(false);
    if (!s.ready()) {
        state.SkipWithError("no emulator or proxy");
        return;
    }
    constexpr int kBatch = 50;
    Clock::duration direct{}, proxied{};
    uint32_t value = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            if (ZPX_GetError(s.direct, &value) != 0) state.SkipWithError("direct read failed");
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            if (ZPX_GetError(s.proxied, &value) != 0) state.SkipWithError("proxied read failed");
        }
        direct += t1 - t0;
        proxied += Clock::now() - t1;
    }
    const double reads = static_cast<double>(state.iterations()) * kBatch;
    state.counters["direct_us"] = Seconds(direct) * 1e6 / reads;
    state.counters["proxy_us"] = Seconds(proxied) * 1e6 / reads;
    state.counters["ratio"] = Seconds(proxied) / Seconds(direct);
}
BENCHMARK(BM_ProxiedRegisterRead)->MinTime(2.0);

void BM_ProxiedMemoryWrite16MiB(benchmark::State& state) {
    Setup s(state.range(0) != 0);
    if (!s.ready()) {
        state.SkipWithError("no emulator or proxy");
        return;
    }
    constexpr uint32_t kBytes = 16u << 20;
    std::vector<uint8_t> block(kBytes, 0x5A);
    Clock::duration direct{}, proxied{}, plain{};
    uint32_t value = 0;
    const auto write = [&](ZPX_Handle h) {
        if (ZPX_WriteCtrlMemory(h, 2, 0, kBytes, block.data()) != 0 || ZPX_GetError(h, &value) != 0)
            state.SkipWithError("write failed");
    };
    for (auto _ : state) {
        const auto t0 = Clock::now();
        write(s.direct);
        const auto t1 = Clock::now();
        write(s.proxied);
        const auto t2 = Clock::now();
        write(s.plain);
        direct += t1 - t0;
        proxied += t2 - t1;
        plain += Clock::now() - t2;
    }
    const double mib = static_cast<double>(state.iterations()) * 16;
    state.counters["direct_MiBps"] = mib / Seconds(direct);
    state.counters["proxy_MiBps"] = mib / Seconds(proxied);
    state.counters["ratio"] = Seconds(direct) / Seconds(proxied);
    state.counters["plain_ratio"] = Seconds(direct) / Seconds(plain);
}
BENCHMARK(BM_ProxiedMemoryWrite16MiB)->ArgName("proxy_elsewhere")->Arg(0)->Arg(1)->Iterations(10);

}  // namespace
