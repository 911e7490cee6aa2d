// zpx-soak: runs the typical test run on several sessions at once, each against an emulated
// Ethernet controller of its own, for a set time, and watches the process: resident memory, open
// descriptors and mappings must stay flat and no call may fail. Exit status 0 when both hold.
//
//   zpx-soak [--seconds N] [--sessions K] [--sample S]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "lan_server.h"
#include "zpx/zpx.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    long residentKiB = 0;
    long descriptors = 0;
    long mappings = 0;
};

// Read from /proc; zeros where the system has none (the run still counts failures).
Figures Sample() {
    Figures f;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) f.residentKiB = std::atol(line.c_str() + 6);
    }
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++f.descriptors;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        ++f.mappings;
    return f;
}

// One typical run: open, clock, pod power, TAP voltages, activation, vectors in, run, results
// out, close. Returns the number of calls that failed.
int TypicalRun(const std::string& name, uint32_t seed) {
    constexpr uint32_t kMemory = 1;
    constexpr uint32_t kBytes = 16 * 1024;
    int failed = 0;
    auto check = [&](uint32_t rc) { failed += rc != 0; };
    uint32_t status = 99;
    ZPX_Handle h = ZPX_OpenController(name.c_str(), &status);
    if (h == nullptr) return 1;
    std::vector<uint8_t> vectors(kBytes), results(kBytes);
    for (uint32_t i = 0; i < kBytes; ++i)
        vectors[i] = static_cast<uint8_t>(i * 13 + seed);
    check(ZPX_SetCtrlFrequency(h, 0, 10000));
    check(ZPX_SetPodPowerOn(h));
    check(ZPX_AddNewTapInfo(h, 0, 33, ZPX_DEFAULT_THRESHOLD));
    check(ZPX_SetTapVoltageEx(h));
    check(ZPX_ActivatePod(h, 0));
    check(ZPX_ClearError(h, 0xFF));
    check(ZPX_WriteMemory(h, 0, kMemory, 0, kBytes, vectors.data()));
    check(ZPX_StartController(h));
    uint32_t running = 1;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (running != 0 && Clock::now() < deadline) {
        check(ZPX_GetControllerStatus(h, &running));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    failed += running != 0;
    uint32_t error = 0;
    check(ZPX_GetError(h, &error));
    check(ZPX_ReadMemory(h, 0, kMemory, 0, kBytes, results.data()));
    failed += results != vectors;  // the emulated run leaves the memory as loaded
    check(ZPX_CloseController(h));
    return failed;
}

}  // namespace

int main(int argc, char** argv) {
    long seconds = 60, sessions = 4, sample = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const long v = std::atol(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = v;
        else if (std::strcmp(argv[i], "--sessions") == 0)
            sessions = std::clamp(v, 1L, 32L);
        else if (std::strcmp(argv[i], "--sample") == 0)
            sample = std::max(v, 1L);
        else {
            std::fprintf(stderr, "usage: zpx-soak [--seconds N] [--sessions K] [--sample S]\n");
            return 2;
        }
    }

    struct Station {
        zpx::emu::Controller controller;
        zpx::emu::LanServer server;
        std::string name;
        explicit Station(const zpx::emu::ControllerConfig& c) : controller(c), server(controller) {}
    };
    zpx::emu::ControllerConfig config;
    config.runPeriods = 2000;  // 0.2 ms at the 10 MHz clock
    std::vector<std::unique_ptr<Station>> stations;
    for (long i = 0; i < sessions; ++i) {
        auto s = std::make_unique<Station>(config);
        std::string address, error;
        if (!zpx::emu::StartOnFreeLoopback(s->server, zpx::emu::kLanPort, &address, &error)) {
            std::fprintf(stderr, "zpx-soak: %s\n", error.c_str());
            return 1;
        }
        s->name = "ETH" + address;
        stations.push_back(std::move(s));
    }

    // The first runs warm up allocators and the shared objects. Baseline and final figures are
    // taken quiet, every session closed and the emulators' connections gone; figures in between
    // are taken on the run, where each session may hold its connection.
    std::atomic<long> runs{0}, failures{0};
    std::atomic<bool> stop{false}, hold{false};
    std::atomic<long> held{0};
    std::vector<std::thread> threads;
    for (long i = 0; i < sessions; ++i) {
        threads.emplace_back([&, i] {
            for (uint32_t n = 0; !stop.load(); ++n) {
                if (hold.load()) {
                    ++held;
                    while (hold.load() && !stop.load())
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    --held;
                    continue;
                }
                failures += TypicalRun(stations[i]->name, n + static_cast<uint32_t>(i));
                ++runs;
            }
        });
    }
    auto quiet = [&] {
        hold = true;
        while (held.load() < sessions)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // servers reap connections
        const Figures f = Sample();
        hold = false;
        return f;
    };
    const long warmUp = std::min(sample, seconds);
    std::this_thread::sleep_for(std::chrono::seconds(warmUp));
    const Figures base = quiet();
    std::printf("%8s %8s %10s %6s %9s\n", "seconds", "runs", "rss_KiB", "fds", "mappings");
    std::printf("%8ld %8ld %10ld %6ld %9ld  (quiet baseline)\n", warmUp, runs.load(),
                base.residentKiB, base.descriptors, base.mappings);
    Figures peak = base;
    for (long t = warmUp; t < seconds;) {
        const long step = std::min(sample, seconds - t);
        std::this_thread::sleep_for(std::chrono::seconds(step));
        t += step;
        const Figures now = Sample();
        peak.residentKiB = std::max(peak.residentKiB, now.residentKiB);
        peak.descriptors = std::max(peak.descriptors, now.descriptors);
        peak.mappings = std::max(peak.mappings, now.mappings);
        std::printf("%8ld %8ld %10ld %6ld %9ld\n", t, runs.load(), now.residentKiB, now.descriptors,
                    now.mappings);
        std::fflush(stdout);
    }
    const Figures last = quiet();
    stop = true;
    for (auto& t : threads)
        t.join();
    constexpr long kMappingSlack = 4;
    // Flat: descriptors and mappings back where they were once quiet, at most a connection per
    // session and its emulator end while running, and memory within a small allowance for
    // allocator fragmentation (a leak of one run's buffers would grow it by megabytes).
    // Mappings may move by a few as the allocator adds an arena for a thread or the threads
    // library keeps a stack for reuse; growth with the number of runs is what counts.
    const bool flat = last.descriptors == base.descriptors &&
                      last.mappings <= base.mappings + kMappingSlack &&
                      peak.descriptors <= base.descriptors + 2 * sessions &&
                      peak.mappings <= base.mappings + kMappingSlack &&
                      std::max(peak.residentKiB, last.residentKiB) <= base.residentKiB + 2048;
    std::printf(
        "zpx-soak: %ld sessions, %ld typical runs, %ld failed calls; resident %ld -> %ld "
        "KiB (peak %ld), descriptors %ld -> %ld (peak %ld), mappings %ld -> %ld: %s\n",
        sessions, runs.load(), failures.load(), base.residentKiB, last.residentKiB,
        peak.residentKiB, base.descriptors, last.descriptors, peak.descriptors, base.mappings,
        last.mappings, flat && failures == 0 ? "PASS" : "FAIL");
    return flat && failures == 0 ? 0 : 1;
}
