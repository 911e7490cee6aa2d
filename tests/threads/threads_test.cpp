// Threads on the library, run under ThreadSanitizer in CI: sessions of their own in parallel,
// threads sharing one session, and a close arriving while they call.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../integration/emu_platform.h"
#include "zpx/zpx.h"

namespace zpx::testing {
namespace {

using Station = LanStation;

TEST(Threads, SessionsOfTheirOwnRunInParallel) {
    constexpr int kThreads = 4;
    std::vector<std::unique_ptr<Station>> stations;
    for (int i = 0; i < kThreads; ++i) {
        stations.push_back(std::make_unique<Station>());
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            uint32_t status = 99;
            ZPX_Handle h = ZPX_OpenController(stations[i]->name.c_str(), &status);
            if (h == nullptr) {
                ++failures;
                return;
            }
            std::vector<uint8_t> out(4096), back(4096);
            for (int round = 0; round < 20; ++round) {
                for (size_t k = 0; k < out.size(); ++k)
                    out[k] = static_cast<uint8_t>(k * 7 + round + i);
                uint32_t error = 0, counter = 0;
                const uint32_t rcs[] = {
                    ZPX_SetRunMode(h, 0x0C),
                    ZPX_GetError(h, &error),
                    ZPX_WriteCtrlMemory(h, 1, 0, 4096, out.data()),
                    ZPX_ReadCtrlMemory(h, 1, 0, 4096, back.data()),
                    ZPX_ReadCtrlCounter(h, 0, &counter),
                };
                for (uint32_t rc : rcs)
                    if (rc != ZPX_STATUS_OK) ++failures;
                if (back != out) ++failures;
            }
            if (ZPX_CloseController(h) != ZPX_STATUS_OK) ++failures;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

// Threads sharing a session each get their turn or BUSY (another call runs) until a close arrives;
// from then on NULL_HANDLE. Nothing else, and nothing crashes.
TEST(Threads, ThreadsSharingOneSessionGetTheirTurnOrBusyAndAClosedHandle) {
    Station station;
    uint32_t status = 99;
    ZPX_Handle h = ZPX_OpenController(station.name.c_str(), &status);
    ASSERT_NE(h, nullptr);
    std::atomic<bool> closing{false};
    std::atomic<int> unexpected{0}, served{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            std::vector<uint8_t> block(65536);  // a call long enough for the close to meet it
            for (int n = 0; n < 400; ++n) {
                uint32_t v = 0;
                const bool closeBegun = closing.load();
                const uint32_t rcs[] = {
                    ZPX_GetError(h, &v), ZPX_GetControllerType(h, &v),
                    ZPX_ReadCtrlCounter(h, 1, &v),
                    ZPX_ReadCtrlMemory(h, 1, 0, static_cast<uint32_t>(block.size()), block.data())};
                for (uint32_t rc : rcs) {
                    served += rc == ZPX_STATUS_OK && !closeBegun;
                    const bool closed = rc == ZPX_STATUS_NULL_HANDLE;
                    unexpected +=
                        closed ? !closing.load() : rc != ZPX_STATUS_OK && rc != ZPX_STATUS_BUSY;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    closing = true;
    EXPECT_EQ(ZPX_CloseController(h), ZPX_STATUS_OK);
    for (auto& t : threads)
        t.join();
    uint32_t v = 0;
    EXPECT_EQ(ZPX_GetError(h, &v), ZPX_STATUS_NULL_HANDLE);
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(served.load(), 0);
}

}  // namespace
}  // namespace zpx::testing
