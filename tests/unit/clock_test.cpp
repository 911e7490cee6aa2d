#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_memory_controller.h"
#include "info/clock.h"
#include "session/session.h"

namespace zpx::testing {
namespace {

using namespace info;

TEST(ClockArithmetic, RangeSchemeDecodesEveryStepBack) {
    for (int32_t khz = 100; khz <= 25000; khz += 100) {
        const ClockSetting s = ComputeRangeSetting(khz * 1000);
        ASSERT_EQ(DecodeRangeSetting(s.value, s.code), static_cast<uint32_t>(khz)) << khz;
        // Anything up to the next grid point is cut down to this one.
        const ClockSetting above = ComputeRangeSetting(khz * 1000 + 99999);
        ASSERT_EQ(above.value * 8 + above.code, s.value * 8 + s.code) << khz;
    }
    // kHz, range code, count.
    const uint32_t boundaries[][3] = {{100, 7, 128}, {200, 6, 128},   {300, 6, 64},  {400, 5, 128},
                                      {700, 5, 32},  {800, 4, 128},   {1500, 4, 16}, {1600, 3, 128},
                                      {3100, 3, 8},  {3200, 2, 128},  {6200, 2, 8},  {6300, 1, 130},
                                      {12500, 1, 6}, {12600, 0, 130}, {25000, 0, 6}};
    for (const auto& b : boundaries) {
        const ClockSetting s = ComputeRangeSetting(static_cast<int32_t>(b[0]) * 1000);
        EXPECT_EQ(s.code, b[1]) << b[0];
        EXPECT_EQ(s.value, b[2]) << b[0];
    }
    EXPECT_EQ(DecodeRangeSetting(6, 0xF8), 25000u);  // bits 3-7 do not count
}

TEST(ClockArithmetic, SynthesizerStaysWithinOneStepWithTheLargestDivider) {
    for (int32_t khz = 1; khz <= 40000; ++khz) {
        const int32_t hz = khz * 1000;
        const ClockSetting s = ComputeSynthSetting(hz);
        const uint32_t m = s.value + 1, e = s.code;
        ASSERT_GE(m, 82u) << khz;
        // The largest divider that keeps the synthesizer at or below 51.2 MHz ...
        ASSERT_LE(int64_t{1} << e, 51200000 / hz) << khz;
        ASSERT_TRUE(e == 14 || (int64_t{2} << e) > 51200000 / hz) << khz;
        // ... and the clock within one step (200 kHz / 2^e) below the request.
        const double produced = m * 200000.0 / (1 << e), step = 200000.0 / (1 << e);
        ASSERT_LE(produced, hz + 1.0) << khz;
        ASSERT_GT(produced, hz - step - 1.0) << khz;
    }
    // kHz, exponent, value byte, kHz read back.
    const uint32_t examples[][4] = {
        {1, 14, 81, 1},         {10, 12, 203, 9},       {100, 9, 255, 100},    {1000, 5, 159, 1000},
        {16400, 1, 163, 16400}, {30000, 0, 149, 30000}, {40000, 0, 199, 40000}};
    for (const auto& x : examples) {
        const ClockSetting s = ComputeSynthSetting(static_cast<int32_t>(x[0]) * 1000);
        EXPECT_EQ(s.code, x[1]) << x[0];
        EXPECT_EQ(s.value, x[2]) << x[0];
        EXPECT_EQ(DecodeSynthSetting(s.value, s.code), x[3]) << x[0];
    }
    EXPECT_EQ(DecodeSynthSetting(159, 15), 250u);  // the option code reads as a divider of 128
}

TEST(Clock, RegistersTravelUnderEachBackEndsNumbers) {
    const struct {
        Target target;
        int32_t khz;
        std::vector<uint32_t> set;   // (register, value) written
        std::vector<uint32_t> read;  // registers asked for by the read-back
    } cases[] = {
        {kIsa, 6300, {30, 130, 31, 1}, {31, 30}},
        {kPciLegacy, 400, {6, 128, 7, 5}, {7, 6}},
        {kUsb, 1000, {6, 159, 7, 5}, {7, 6}},
        {kFireWire, 16400, {6, 163, 7, 1}, {4, 4}},  // one quadlet: bytes 6 and 7
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target.label);
        ScopedFakePlatform fake;
        Opened o = OpenTarget(*fake, c.target);
        ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, c.khz), 0u);
        uint32_t khz = 0;
        ASSERT_EQ(ZPX_GetCurrentFrequency(o.handle, &khz), 0u);
        EXPECT_EQ(khz, static_cast<uint32_t>(c.khz));
        std::vector<uint32_t> set, read;
        for (const DriverCall& call : o.device->calls) {
            if (call.code == 0x9C406408) {
                set.insert(set.end(), {Le32(call.in.data()), Le32(call.in.data() + 4)});
            } else {
                read.push_back(Le32(call.in.data()));
            }
        }
        EXPECT_EQ(set, c.set);
        EXPECT_EQ(read, c.read);
        ZPX_CloseController(o.handle);
    }
    // Ethernet: one packet per register, the value in data0; a write awaits no reply.
    ScopedFakePlatform fake;
    Opened o = OpenTarget(*fake, kEthernet);
    o.tcp->script = {{TcpEvent::kData, std::vector<uint8_t>{1, 0, 7, 1, 15, 0, 0, 0, 0, 0, 0, 0}},
                     {TcpEvent::kData, std::vector<uint8_t>{1, 0, 6, 1, 149, 0, 0, 0, 0, 0, 0, 0}}};
    ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 1, 30000), 0u);
    uint32_t khz = 0;
    ASSERT_EQ(ZPX_GetCurrentFrequency(o.handle, &khz), 0u);
    EXPECT_EQ(khz, 234u);  // option 1: the range register holds 15, read as a divider of 128
    const uint32_t packets[][2] = {
        {0x01060002, 149}, {0x01070002, 15}, {0x01070001, 0}, {0x01060001, 0}};
    ASSERT_EQ(o.tcp->sent.size(), 4 * 12u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(Le32(o.tcp->sent.data() + 12 * i), packets[i][0]);
        EXPECT_EQ(Le32(o.tcp->sent.data() + 12 * i + 4), packets[i][1]);
    }
    ZPX_CloseController(o.handle);
}

TEST(Clock, SettingArmsTwiceAndACheckInForceTouchesNothing) {
    ScopedFakePlatform fake;
    Opened o = OpenTarget(*fake, kPci);
    ASSERT_EQ(SessionOf(o.handle).controllerType, 3);
    auto effects = [&] {  // register writes and alarm calls since the last look
        std::string text;
        for (const DriverCall& c : o.device->calls)
            if (c.code == 0x9C406408) text += "w" + std::to_string(Le32(c.in.data())) + " ";
        for (const AlarmCall& a : fake->alarmCalls)
            text += a.op + (a.op == "set" ? std::to_string(a.value) : "") + " ";
        o.device->calls.clear();
        fake->alarmCalls.clear();
        return text;
    };
    ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, 1000), 0u);
    EXPECT_EQ(effects(), "w6 w7 alloc set250 reset ");
    EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 0, 1000), 0u);
    EXPECT_EQ(effects(), "");
    o.regs->regs[6] = 0;  // changed behind the session's back
    EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 0, 1000), 0u);
    EXPECT_EQ(effects(), "w6 w7 reset reset ");
    // With the option the range register holds 15, which reads back as exponent 7: in force only
    // for a setting of exponent 7 (300 kHz), programmed again for any other (1000 kHz).
    for (int32_t khz : {1000, 1000, 300}) {
        ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 1, khz), 0u);
        effects();
        EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 1, khz), 0u);
        EXPECT_EQ(effects(), khz == 300 ? "" : "w6 w7 reset reset ");
    }
    // Without alarms each arming waits its 250 ms at once.
    fake->alarmsAvailable = 0;
    EXPECT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, 2000), 0u);
    EXPECT_EQ(fake->directDelays, (std::vector<uint32_t>{250000, 250000}));
    ZPX_CloseController(o.handle);
}

TEST(Clock, LimitsRefuseClampAndReportFailures) {
    ScopedFakePlatform fake;
    Opened isa = OpenTarget(*fake, kIsa);
    ControllerSession& s = SessionOf(isa.handle);
    const ZPX_Handle h = isa.handle;
    uint32_t lo = 0, hi = 0, khz = 0;
    EXPECT_EQ(ZPX_GetFrequencyRange(h, &lo, &hi), 0u);
    EXPECT_EQ(lo * 100000 + hi, 100u * 100000 + 25000);
    EXPECT_EQ(ZPX_GetFrequencyRange(h, nullptr, &hi), 10u);
    EXPECT_EQ(ZPX_GetCurrentFrequency(h, nullptr), 10u);
    // Below the minimum: refused, nothing changes. Above the maximum: clamped.
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, 99), 11u);
    EXPECT_EQ(ZPX_CheckCtrlFrequency(h, 0, -5), 11u);
    EXPECT_EQ(s.tckKhz, 1);
    EXPECT_TRUE(isa.device->calls.empty());
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 1, 30000), 0u);
    EXPECT_EQ(s.tckKhz, 25000);
    EXPECT_EQ(isa.regs->regs[30] * 256 + isa.regs->regs[31], 6 * 256 + 8);  // option bit 3
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, 150), 0u);
    EXPECT_EQ(ZPX_GetCurrentFrequency(h, &khz), 0u);
    EXPECT_EQ(s.tckKhz * 1000 + static_cast<int32_t>(khz), 150 * 1000 + 100);

    // A DeviceInfo's limits, in kHz and inclusive; tckKhz stays.
    ZPX_DeviceInfo info{};
    info.MinFrequencyKhz = 100;
    info.MaxFrequencyKhz = 25000;
    isa.device->calls.clear();
    EXPECT_EQ(ZPX_SetFrequency(h, &info, 0, 25001), 11u);
    EXPECT_EQ(ZPX_CheckFrequency(h, &info, 0, 99), 11u);
    EXPECT_EQ(ZPX_SetFrequency(h, nullptr, 0, 1000), 10u);
    info.MinFrequencyKhz = -10;  // a record that lets through what no generator can take
    info.MaxFrequencyKhz = INT32_MAX;
    EXPECT_EQ(ZPX_SetFrequency(h, &info, 0, 0), 10u);
    EXPECT_EQ(ZPX_SetFrequency(h, &info, 0, 2147484), 10u);
    EXPECT_TRUE(isa.device->calls.empty());
    EXPECT_EQ(ZPX_SetFrequency(h, &info, 0, 25000), 0u);
    EXPECT_EQ(isa.regs->regs[30], 6);
    EXPECT_EQ(s.tckKhz, 150);

    // A failed value write leaves the range register alone and arms nothing.
    isa.regs->failAfter = isa.regs->served;
    isa.regs->regs[31] = 0x77;
    fake->alarmCalls.clear();
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, 1000), 10u);
    EXPECT_EQ(s.tckKhz, 1000);
    EXPECT_EQ(isa.regs->regs[31], 0x77);
    EXPECT_TRUE(fake->alarmCalls.empty());
    khz = 5;
    EXPECT_EQ(ZPX_GetCurrentFrequency(h, &khz), 10u);
    EXPECT_EQ(khz, 0u);
    isa.regs->failAfter = -1;

    // A controller type without a clock: limits -1; anything not below -1 is 10, sending nothing.
    s.controllerType = -1;
    EXPECT_EQ(ZPX_GetFrequencyRange(h, &lo, &hi), 0u);
    EXPECT_EQ(lo, 0xFFFFFFFFu);
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, -2), 11u);
    isa.device->calls.clear();
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, 1000), 10u);
    EXPECT_EQ(s.tckKhz, -1);
    EXPECT_TRUE(isa.device->calls.empty());
    s.controllerType = 0;
    ZPX_CloseController(h);
}

}  // namespace
}  // namespace zpx::testing
