#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_memory_controller.h"
#include "info/clock.h"
#include "session/session.h"
#include "zpx/zpx.h"

namespace zpx::testing {
namespace {

using info::ComputeRangeSetting;
using info::ComputeSynthSetting;
using info::DecodeRangeSetting;
using info::DecodeSynthSetting;

TEST(ClockArithmetic, RangeSchemeDecodesEveryStepBack) {
    for (int32_t khz = 100; khz <= 25000; khz += 100) {
        const auto s = ComputeRangeSetting(khz * 1000);
        ASSERT_EQ(DecodeRangeSetting(s.value, s.code), static_cast<uint32_t>(khz)) << khz;
        ASSERT_GE(s.value, 6u);
        ASSERT_LE(s.value, 130u);
        // Anything between two grid points is cut down to the lower one.
        const auto between = ComputeRangeSetting(khz * 1000 + 99999);
        ASSERT_EQ(between.value, s.value);
        ASSERT_EQ(between.code, s.code);
    }
    const struct {
        int32_t khz;
        uint32_t code, count;
    } boundaries[] = {{100, 7, 128}, {200, 6, 128},   {300, 6, 64},  {400, 5, 128},
                      {700, 5, 32},  {800, 4, 128},   {1500, 4, 16}, {1600, 3, 128},
                      {3100, 3, 8},  {3200, 2, 128},  {6200, 2, 8},  {6300, 1, 130},
                      {12500, 1, 6}, {12600, 0, 130}, {25000, 0, 6}, {150, 7, 128}};
    for (const auto& b : boundaries) {
        const auto s = ComputeRangeSetting(b.khz * 1000);
        EXPECT_EQ(s.code, b.code) << b.khz;
        EXPECT_EQ(s.value, b.count) << b.khz;
    }
    // Bits 3 to 7 of the range register do not change the frequency.
    EXPECT_EQ(DecodeRangeSetting(6, 0xF8), 25000u);
}

TEST(ClockArithmetic, SynthesizerStaysWithinOneStepWithTheLargestDivider) {
    for (int32_t khz = 1; khz <= 40000; ++khz) {
        const int64_t hz = int64_t{khz} * 1000;
        const auto s = ComputeSynthSetting(static_cast<int32_t>(hz));
        const int64_t m = s.value + 1, e = s.code;
        ASSERT_GE(m, 82) << khz;
        ASSERT_LE(e, 14) << khz;
        // The largest divider that keeps the synthesizer at or below 51.2 MHz.
        const int64_t largest = [&] {
            int64_t x = 14;
            while ((int64_t{1} << x) > 51200000 / hz)
                --x;
            return x;
        }();
        ASSERT_EQ(e, largest) << khz;
        const double step = 200000.0 / static_cast<double>(1 << e);  // Hz at the output
        const double produced = static_cast<double>(m) * 200000.0 / static_cast<double>(1 << e);
        ASSERT_LE(produced, static_cast<double>(hz) + 1.0) << khz;
        ASSERT_GT(produced, static_cast<double>(hz) - step - 1.0) << khz;
    }
    const struct {
        int32_t khz;
        uint32_t exponent, value, readBack;
    } examples[] = {{1, 14, 81, 1},        {10, 12, 203, 9},       {100, 9, 255, 100},
                    {1000, 5, 159, 1000},  {16400, 1, 163, 16400}, {30000, 0, 149, 30000},
                    {40000, 0, 199, 40000}};
    for (const auto& x : examples) {
        const auto s = ComputeSynthSetting(x.khz * 1000);
        EXPECT_EQ(s.code, x.exponent) << x.khz;
        EXPECT_EQ(s.value, x.value) << x.khz;
        EXPECT_EQ(DecodeSynthSetting(s.value, s.code), x.readBack) << x.khz;
    }
    EXPECT_EQ(DecodeSynthSetting(159, 15), 250u);  // the option code reads as a divider of 128
}

struct RegisterAccess {
    uint32_t code, reg, value;
};

std::vector<RegisterAccess> Accesses(const FakeDriverState& d, size_t from) {
    std::vector<RegisterAccess> out;
    for (size_t i = from; i < d.calls.size(); ++i)
        out.push_back(
            {d.calls[i].code, Le32(d.calls[i].in.data()), Le32(d.calls[i].in.data() + 4)});
    return out;
}

TEST(Clock, RegistersTravelUnderEachBackEndsNumbers) {
    constexpr uint32_t W = 0x9C406408, R = 0x9C406404;
    const struct {
        Target target;
        int32_t khz;
        uint32_t value, range;  // bytes the setting writes
        std::vector<RegisterAccess> set, read;
    } cases[] = {
        {kIsa, 6300, 130, 1, {{W, 30, 130}, {W, 31, 1}}, {{R, 31, 0}, {R, 30, 0}}},
        {kPciLegacy, 400, 128, 5, {{W, 6, 128}, {W, 7, 5}}, {{R, 7, 0}, {R, 6, 0}}},
        {kUsb, 1000, 159, 5, {{W, 6, 159}, {W, 7, 5}}, {{R, 7, 0}, {R, 6, 0}}},
        {kFireWire, 16400, 163, 1, {{W, 6, 163}, {W, 7, 1}}, {{R, 4, 0}, {R, 4, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target.label);
        ScopedFakePlatform fake;
        Opened o = OpenTarget(*fake, c.target);
        ASSERT_NE(o.handle, nullptr);
        ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, c.khz), 0u);
        const auto set = Accesses(*o.device, o.openCalls);
        ASSERT_EQ(set.size(), c.set.size());
        for (size_t i = 0; i < set.size(); ++i) {
            EXPECT_EQ(set[i].code, c.set[i].code);
            EXPECT_EQ(set[i].reg, c.set[i].reg);
            EXPECT_EQ(set[i].value, c.set[i].value);
        }
        const size_t before = o.device->calls.size();
        uint32_t khz = 0;
        ASSERT_EQ(ZPX_GetCurrentFrequency(o.handle, &khz), 0u);
        EXPECT_EQ(khz, static_cast<uint32_t>(c.khz));
        const auto read = Accesses(*o.device, before);
        ASSERT_EQ(read.size(), c.read.size());
        for (size_t i = 0; i < read.size(); ++i) {
            EXPECT_EQ(read[i].code, c.read[i].code);
            EXPECT_EQ(read[i].reg, c.read[i].reg);
        }
        ZPX_CloseController(o.handle);
    }

    // Ethernet: one packet per register, the value in data0, no reply awaited for a write.
    ScopedFakePlatform fake;
    Opened o = OpenTarget(*fake, kEthernet);
    FakeTcpState& tcp = *fake->nextConnection;
    tcp.sent.clear();
    ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 1, 30000), 0u);
    uint32_t khz = 0;
    ASSERT_EQ(ZPX_GetCurrentFrequency(o.handle, &khz), 0u);
    EXPECT_EQ(khz, 234u);  // option 1: the range register holds 15, read as a divider of 128
    const std::vector<std::pair<uint32_t, uint32_t>> packets = {
        {0x01060002, 149}, {0x01070002, 15}, {0x01070001, 0}, {0x01060001, 0}};
    ASSERT_EQ(tcp.sent.size(), packets.size() * 12);
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(Le32(tcp.sent.data() + 12 * i), packets[i].first);
        EXPECT_EQ(Le32(tcp.sent.data() + 12 * i + 4), packets[i].second);
        EXPECT_EQ(Le32(tcp.sent.data() + 12 * i + 8), 0u);
    }
    ZPX_CloseController(o.handle);
}

TEST(Clock, SettingArmsTwiceAndACheckInForceTouchesNothing) {
    ScopedFakePlatform fake;
    Opened o = OpenTarget(*fake, kPci);
    ASSERT_NE(o.handle, nullptr);
    ASSERT_EQ(SessionOf(o.handle).controllerType, 3);
    auto ops = [&] {
        std::string text;
        for (const AlarmCall& a : fake->alarmCalls)
            text += a.op + (a.op == "set" ? std::to_string(a.value) : "") + " ";
        fake->alarmCalls.clear();
        return text;
    };
    auto writes = [&] {
        size_t n = 0;
        for (const auto& c : o.device->calls)
            n += c.code == 0x9C406408;
        o.device->calls.clear();
        return n;
    };
    writes();
    ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, 1000), 0u);
    EXPECT_EQ(ops(), "alloc set250 reset ");
    EXPECT_EQ(writes(), 2u);
    EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 0, 1000), 0u);
    EXPECT_EQ(ops(), "");
    EXPECT_EQ(writes(), 0u);
    // Changed behind the session's back, or asked with the other option: programmed again.
    o.regs->regs[6] = 0;
    EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 0, 1000), 0u);
    EXPECT_EQ(ops(), "reset reset ");
    EXPECT_EQ(writes(), 2u);
    EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 1, 1000), 0u);
    EXPECT_EQ(writes(), 2u);
    EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 1, 1000), 0u);  // 15 reads as exponent 7, not 5
    EXPECT_EQ(writes(), 2u);
    EXPECT_EQ(ZPX_SetCtrlFrequency(o.handle, 1, 300), 0u);  // exponent 7
    writes();
    EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 1, 300), 0u);
    EXPECT_EQ(writes(), 0u);
    // Without alarms each arming waits its 250 ms at once.
    fake->alarmsAvailable = 0;
    fake->directDelays.clear();
    EXPECT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, 2000), 0u);
    EXPECT_EQ(fake->directDelays, (std::vector<uint32_t>{250000, 250000}));
    ZPX_CloseController(o.handle);
}

TEST(Clock, LimitsRefuseClampAndReportFailures) {
    ScopedFakePlatform fake;
    Opened isa = OpenTarget(*fake, kIsa);
    ControllerSession& s = SessionOf(isa.handle);
    auto sent = [&] {
        const size_t n = isa.device->calls.size();
        isa.device->calls.clear();
        return n;
    };
    sent();
    uint32_t lo = 0, hi = 0, khz = 0;
    EXPECT_EQ(ZPX_GetFrequencyRange(isa.handle, &lo, &hi), 0u);
    EXPECT_EQ(lo, 100u);
    EXPECT_EQ(hi, 25000u);
    EXPECT_EQ(ZPX_GetFrequencyRange(isa.handle, nullptr, &hi), 10u);
    EXPECT_EQ(ZPX_SetCtrlFrequency(isa.handle, 0, 99), 11u);
    EXPECT_EQ(ZPX_CheckCtrlFrequency(isa.handle, 0, -5), 11u);
    EXPECT_EQ(s.tckKhz, 1);
    EXPECT_EQ(sent(), 0u);
    EXPECT_EQ(ZPX_SetCtrlFrequency(isa.handle, 1, 30000), 0u);
    EXPECT_EQ(s.tckKhz, 25000);
    EXPECT_EQ(isa.regs->regs[30], 6);
    EXPECT_EQ(isa.regs->regs[31], 8);  // option bit 3 with range 0
    EXPECT_EQ(ZPX_GetCurrentFrequency(isa.handle, &khz), 0u);
    EXPECT_EQ(khz, 25000u);
    EXPECT_EQ(ZPX_SetCtrlFrequency(isa.handle, 0, 150), 0u);
    EXPECT_EQ(s.tckKhz, 150);
    EXPECT_EQ(ZPX_GetCurrentFrequency(isa.handle, &khz), 0u);
    EXPECT_EQ(khz, 100u);
    EXPECT_EQ(ZPX_GetCurrentFrequency(isa.handle, nullptr), 10u);

    // A DeviceInfo's limits, in kHz, inclusive; tckKhz stays.
    ZPX_DeviceInfo info{};
    info.MinFrequencyKhz = 100;
    info.MaxFrequencyKhz = 25000;
    sent();
    EXPECT_EQ(ZPX_SetFrequency(isa.handle, &info, 0, 25001), 11u);
    EXPECT_EQ(ZPX_CheckFrequency(isa.handle, &info, 0, 99), 11u);
    EXPECT_EQ(ZPX_SetFrequency(isa.handle, nullptr, 0, 1000), 10u);
    info.MinFrequencyKhz = -10;
    info.MaxFrequencyKhz = INT32_MAX;
    EXPECT_EQ(ZPX_SetFrequency(isa.handle, &info, 0, 0), 10u);
    EXPECT_EQ(ZPX_SetFrequency(isa.handle, &info, 0, 2147484), 10u);
    EXPECT_EQ(sent(), 0u);
    EXPECT_EQ(ZPX_SetFrequency(isa.handle, &info, 0, 25000), 0u);
    EXPECT_EQ(isa.regs->regs[30], 6);
    EXPECT_EQ(s.tckKhz, 150);

    // A failed value write leaves the range register alone and arms nothing.
    isa.regs->failAfter = isa.regs->served;
    fake->alarmCalls.clear();
    isa.regs->regs[31] = 0x77;
    EXPECT_EQ(ZPX_SetCtrlFrequency(isa.handle, 0, 1000), 10u);
    EXPECT_EQ(s.tckKhz, 1000);
    EXPECT_EQ(isa.regs->regs[31], 0x77);
    EXPECT_TRUE(fake->alarmCalls.empty());
    khz = 5;
    EXPECT_EQ(ZPX_GetCurrentFrequency(isa.handle, &khz), 10u);
    EXPECT_EQ(khz, 0u);
    isa.regs->failAfter = -1;

    // A controller type without a clock: limits -1, anything not below -1 gets 10.
    s.controllerType = -1;
    EXPECT_EQ(ZPX_GetFrequencyRange(isa.handle, &lo, &hi), 0u);
    EXPECT_EQ(lo, 0xFFFFFFFFu);
    EXPECT_EQ(ZPX_SetCtrlFrequency(isa.handle, 0, -2), 11u);
    sent();
    EXPECT_EQ(ZPX_SetCtrlFrequency(isa.handle, 0, 1000), 10u);
    EXPECT_EQ(s.tckKhz, -1);
    EXPECT_EQ(sent(), 0u);
    s.controllerType = 0;
    ZPX_CloseController(isa.handle);
}

}  // namespace
}  // namespace zpx::testing
