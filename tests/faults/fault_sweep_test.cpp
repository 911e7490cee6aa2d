// The fault sweep: every step of the typical test run, from open to close, meets every fault the
// emulator can inject, on Ethernet and on a kernel-driver back-end. The faulted export must
// return one of its documented codes within its time bound, a later call must fail or succeed
// cleanly within its bound, and the session must close; the sanitizer build adds that nothing
// leaks. Time runs a twentieth as long for settles and sleeps and a hundredth as long for the
// link's waits, so that the link's twenty-second time-outs are met in a fraction of a second.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "controller.h"
#include "driver_stand_in.h"
#include "emu_platform.h"
#include "lan_server.h"
#include "platform/platform.h"
#include "zpx/zpx.h"

namespace zpx::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kSettleScale = 20;
constexpr uint32_t kLinkScale = 100;

class QuickClock : public platform::Clock {
  public:
    int16_t AlarmAvail() override { return base_.AlarmAvail(); }
    uint16_t AlarmAlloc(uint32_t kind) override { return base_.AlarmAlloc(kind); }
    void AlarmSet(uint16_t id, uint32_t delay) override {
        base_.AlarmSet(id, delay / kSettleScale);
    }
    void AlarmReset(uint16_t id) override { base_.AlarmReset(id); }
    void AlarmWait(uint16_t id) override { base_.AlarmWait(id); }
    void AlarmFree(uint16_t id) override { base_.AlarmFree(id); }
    void DelayDirect(uint32_t micros) override { base_.DelayDirect(micros / kSettleScale); }
    void SleepMs(uint32_t ms) override { base_.SleepMs(ms / kSettleScale); }
    uint32_t TickMs() override { return base_.TickMs(); }
    void YieldThread() override { base_.YieldThread(); }

  private:
    platform::Clock& base_ = platform::System<platform::Clock>();
    platform::ScopedFake<platform::Clock> installed_{this};
};

class QuickConnection : public platform::TcpConnection {
  public:
    explicit QuickConnection(std::unique_ptr<platform::TcpConnection> c) : c_(std::move(c)) {}
    platform::Io Send(const void* data, size_t length, bool more) override {
        return c_->Send(data, length, more);
    }
    bool Flush() override { return c_->Flush(); }
    platform::Io WaitReadable(uint32_t ms) override { return c_->WaitReadable(ms / kLinkScale); }
    platform::Io Receive(void* buffer, size_t length) override {
        return c_->Receive(buffer, length);
    }
    platform::Io ReceiveWithin(void* buffer, size_t length, uint32_t ms) override {
        return c_->ReceiveWithin(buffer, length, ms / kLinkScale);
    }
    platform::Io DiscardWaiting(size_t limit) override { return c_->DiscardWaiting(limit); }

  private:
    std::unique_ptr<platform::TcpConnection> c_;
};

class QuickNetwork : public platform::Network {
    platform::ScopedFake<platform::Network> installed_{this};

  public:
    std::unique_ptr<platform::TcpConnection> ConnectTcp(uint32_t ip, uint16_t port,
                                                        uint32_t limit) override {
        auto c = platform::System<platform::Network>().ConnectTcp(ip, port, limit / kLinkScale);
        if (!c) return nullptr;
        return std::make_unique<QuickConnection>(std::move(c));
    }
};

// One emulated controller behind Ethernet or the USB driver, made afresh for each case so that
// request numbers count from its start.
struct Station {
    emu::Controller controller{emu::ControllerConfig{.runPeriods = 2000}};
    std::unique_ptr<emu::LanServer> server;
    std::unique_ptr<emu::DriverStandIn> driver;
    std::string name;

    Station(bool ethernet, EmuPlatform& devices) {
        if (ethernet) {
            server = std::make_unique<emu::LanServer>(controller);
            std::string address, error;
            if (emu::StartOnFreeLoopback(*server, emu::kLanPort, &address, &error))
                name = "ETH" + address;
        } else {
            emu::DriverOptions options;
            options.kind = emu::DriverKind::kUsb;
            driver = std::make_unique<emu::DriverStandIn>(controller, options);
            devices.SetDriver("\\\\.\\Usb51x4EX_0", driver.get());
            name = "USB";
        }
    }
    uint64_t Requests() const { return server ? server->RequestCount() : driver->RequestCount(); }
    void Fault(const emu::Fault& f) {
        if (server) server->SetFaults({f});
        if (driver) driver->SetFaults({f});
    }
};

struct Step {
    const char* name;
    std::function<uint32_t(ZPX_Handle)> call;
};

// An export whose output word the step does not look at.
template <auto kExport>
uint32_t WithOutput(ZPX_Handle h) {
    uint32_t ignored = 0;
    return kExport(h, &ignored);
}

std::vector<Step> TypicalRun(std::vector<uint8_t>& data) {
    const auto n = static_cast<uint32_t>(data.size());
    return {
        {"SetCtrlFrequency", [](ZPX_Handle h) { return ZPX_SetCtrlFrequency(h, 0, 10000); }},
        {"SetPodPowerOn", [](ZPX_Handle h) { return ZPX_SetPodPowerOn(h); }},
        {"AddNewTapInfo",
         [](ZPX_Handle h) { return ZPX_AddNewTapInfo(h, 0, 33, ZPX_DEFAULT_THRESHOLD); }},
        {"SetTapVoltageEx", [](ZPX_Handle h) { return ZPX_SetTapVoltageEx(h); }},
        {"ActivatePod", [](ZPX_Handle h) { return ZPX_ActivatePod(h, 0); }},
        {"WriteMemory",
         [&, n](ZPX_Handle h) { return ZPX_WriteMemory(h, 0, 1, 0, n, data.data()); }},
        {"StartController", [](ZPX_Handle h) { return ZPX_StartController(h); }},
        {"GetControllerStatus", WithOutput<ZPX_GetControllerStatus>},
        {"GetError", WithOutput<ZPX_GetError>},
        {"ReadMemory", [&, n](ZPX_Handle h) { return ZPX_ReadMemory(h, 0, 1, 0, n, data.data()); }},
    };
}

// What `call` returns; it must come back within `bound` seconds.
template <class F>
auto Within(double bound, F call, const char* what = "") {
    const Clock::time_point start = Clock::now();
    const auto result = call();
    EXPECT_LE(std::chrono::duration<double>(Clock::now() - start).count(), bound) << what;
    return result;
}

TEST(FaultSweep, EveryStepMeetsEveryFaultAndTheSessionStillCloses) {
    QuickClock clock;
    QuickNetwork network;
    EmuPlatform devices;
    std::vector<uint8_t> data(16384, 0x3C);
    const std::vector<Step> steps = TypicalRun(data);
    // The codes these exports document.
    const std::set<uint32_t> documented = {ZPX_STATUS_OK, ZPX_STATUS_FAILED, ZPX_STATUS_BUSY,
                                           ZPX_STATUS_INVALID, ZPX_STATUS_CANNOT_OPEN};
    // Bounds in the quickened time: a link wait of 4 x 50 ms and its pauses, and the settles.
    constexpr double kStepBound = 3.0, kLaterBound = 1.5, kCloseBound = 1.5;

    for (bool ethernet : {true, false}) {
        SCOPED_TRACE(ethernet ? "Ethernet" : "USB driver");
        // Open, the ten steps, close.
        const size_t stepCount = steps.size() + 2;
        using enum emu::FaultKind;
        std::vector<emu::Fault> faults = {
            {kFailRequest, 0, 1, 0, 0},  {kDropReply, 0, 1, 0, 0}, {kShortReply, 0, 1, 5, 0},
            {kDelayReply, 0, 1, 0, 500},  // later than the quickened waits
            {kStopReading, 0, 1, 0, 0},
        };
        if (ethernet) faults.push_back({kCloseConnection, 0, 0, 0, 0});

        for (size_t k = 0; k < stepCount; ++k) {
            const char* stepName = k == 0              ? "OpenController"
                                   : k <= steps.size() ? steps[k - 1].name
                                                       : "CloseController";
            for (emu::Fault fault : faults) {
                SCOPED_TRACE(std::string(stepName) + " fault " +
                             std::to_string(static_cast<int>(fault.kind)));
                Station station(ethernet, devices);
                ASSERT_FALSE(station.name.empty());
                // Armed for the first request the step makes (a write of the step before that the
                // controller has not yet taken may meet it instead: it has no reply to lose).
                auto arm = [&] {
                    fault.first = station.Requests() + 1;
                    station.Fault(fault);
                };
                if (k == 0) arm();
                uint32_t status = 99;
                ZPX_Handle h = Within(
                    kStepBound, [&] { return ZPX_OpenController(station.name.c_str(), &status); });
                EXPECT_TRUE(documented.count(status)) << status;
                if (h == nullptr) {
                    EXPECT_EQ(k, 0u) << "only a faulted open may fail";
                    continue;
                }
                // The steps before the faulted one succeed; the faulted one gives a documented
                // code in time.
                for (size_t i = 0; i < steps.size() && i + 1 <= k; ++i) {
                    if (i + 1 == k) arm();
                    const uint32_t rc = Within(
                        kStepBound, [&] { return steps[i].call(h); }, steps[i].name);
                    EXPECT_TRUE(documented.count(rc)) << steps[i].name << " " << rc;
                    if (i + 1 < k) {
                        EXPECT_EQ(rc, ZPX_STATUS_OK) << steps[i].name << " before the fault";
                    }
                }
                // A later call fails or succeeds cleanly and in time.
                uint32_t error = 0;
                const uint32_t later = Within(kLaterBound, [&] { return ZPX_GetError(h, &error); });
                EXPECT_TRUE(later == ZPX_STATUS_OK || later == ZPX_STATUS_INVALID) << later;
                if (k == stepCount - 1) arm();
                EXPECT_EQ(Within(kCloseBound, [&] { return ZPX_CloseController(h); }),
                          ZPX_STATUS_OK);
                EXPECT_EQ(ZPX_GetError(h, &error), ZPX_STATUS_NULL_HANDLE);
            }
        }
    }
}

// Over a real connection: a read whose reply never comes, comes cut short, or comes after the
// link gave up (but before the next request) leaves the session in step: every later read gets
// its own answer, at once (the two memories hold different data, so an answer that is not the
// read's own shows). A controller that stops reading while a block is sent to it fills the
// connection until the send's time limit ends the call; every later call then fails at once.
TEST(FaultSweep, LinkFaultsEndTheirCallInTimeAndLeaveLaterCallsInStepOrFailing) {
    using enum emu::FaultKind;
    QuickClock clock;
    QuickNetwork network;
    EmuPlatform devices;
    constexpr uint32_t kLength = 4096;
    constexpr uint32_t kLateMs = 400;  // twice the quickened waits of a read
    const struct {
        const char* what;
        emu::Fault fault;
        uint32_t status;  // of the faulted call
        uint32_t later;   // of every later call
    } cases[] = {
        {"never comes", {kDropReply, 0, 2, 0, 0}, ZPX_STATUS_INVALID, 0},
        {"cut short", {kShortReply, 0, 2, kLength / 3, 0}, ZPX_STATUS_OK, 0},
        {"late", {kDelayReply, 0, 2, 0, kLateMs}, ZPX_STATUS_INVALID, 0},
        {"not read", {kStopReading, 0, 1, 0, 0}, ZPX_STATUS_INVALID, ZPX_STATUS_INVALID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Station station(true, devices);
        ASSERT_FALSE(station.name.empty());
        uint32_t status = 99, error = 0;
        ZPX_Handle h = ZPX_OpenController(station.name.c_str(), &status);
        ASSERT_NE(h, nullptr);
        std::vector<uint8_t> first(kLength, 0x11), second(kLength, 0x22), back(kLength);
        ASSERT_EQ(ZPX_WriteCtrlMemory(h, 0, 0, kLength, first.data()), ZPX_STATUS_OK);
        ASSERT_EQ(ZPX_WriteCtrlMemory(h, 1, 0, kLength, second.data()), ZPX_STATUS_OK);
        // Answered: the controller has taken the writes.
        ASSERT_EQ(ZPX_GetError(h, &error), ZPX_STATUS_OK);

        emu::Fault fault = c.fault;
        fault.first = station.Requests() + 1;
        station.Fault(fault);
        if (fault.kind == kStopReading) {
            constexpr uint32_t kBlock = 64 << 20;  // far more than the socket buffers hold
            std::vector<uint8_t> block(kBlock, 0xA5);
            EXPECT_EQ(
                Within(3.0, [&] { return ZPX_WriteCtrlMemory(h, 1, 0, kBlock, block.data()); }),
                c.status);
        } else {
            // The address load and the block request: the block's reply meets the fault.
            EXPECT_EQ(ZPX_ReadCtrlMemory(h, 0, 0, kLength, back.data()), c.status);
        }
        if (fault.kind == kDelayReply)
            std::this_thread::sleep_for(std::chrono::milliseconds(kLateMs));
        for (const char* round : {"first read after", "second read after"}) {
            std::fill(back.begin(), back.end(), 0);
            // Far inside the quickened waits of 4 x 50 ms that a read for bytes that are not
            // coming would spend.
            const auto read = [&] { return ZPX_ReadCtrlMemory(h, 1, 0, kLength, back.data()); };
            EXPECT_EQ(Within(0.15, read, round), c.later);
            EXPECT_TRUE(c.later != ZPX_STATUS_OK || back == second) << round;
        }
        EXPECT_EQ(ZPX_GetError(h, &error), c.later);
        EXPECT_EQ(Within(1.5, [&] { return ZPX_CloseController(h); }), ZPX_STATUS_OK);
    }
}

}  // namespace
}  // namespace zpx::testing
