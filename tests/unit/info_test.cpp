// The controller's own information: the test clock (both generator schemes' arithmetic, the
// settle after programming, the limits) and its identity (serial ROMs, revision, flash code,
// memory sizes, wait time, board test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/identity.h"
#include "driver_fixture.h"
#include "info/clock.h"

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
        EXPECT_EQ(s.code * 1000 + s.value, b[1] * 1000 + b[2]) << b[0];
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
        EXPECT_EQ(s.code * 1000 + s.value, x[1] * 1000 + x[2]) << x[0];
        EXPECT_EQ(DecodeSynthSetting(s.value, s.code), x[3]) << x[0];
    }
    EXPECT_EQ(DecodeSynthSetting(159, 15), 250u);  // the option code reads as a divider of 128
}

TEST(Clock, SettingArmsTwiceAndACheckInForceTouchesNothing) {
    Opened o(kPci);
    ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, 1000), 0u);
    EXPECT_EQ(o.fake->Take(), "w6=9f w7=5 alloc1=2 set1=250 reset1 ");
    EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 0, 1000), 0u);
    EXPECT_EQ(o.fake->Take(), "r7=5 r6=9f ");
    o.file->regs[6] = 0;  // changed behind the session's back
    EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 0, 1000), 0u);
    EXPECT_EQ(o.fake->Take(), "r7=5 r6=0 w6=9f w7=5 reset1 reset1 ");
    // With the option the range register holds 15, which reads back as exponent 7: in force only
    // for a setting of exponent 7 (300 kHz) checked with the option too.
    for (const auto& [option, khz, check] : {std::tuple<uint32_t, int32_t, const char*>{
                                                 1, 1000, "r7=f r6=9f w6=9f w7=f reset1 reset1 "},
                                             {1, 300, "r7=f r6=bf "},
                                             {0, 300, "r7=f r6=bf w6=bf w7=7 reset1 reset1 "}}) {
        ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 1, khz), 0u);
        o.fake->Take();
        EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, option, khz), 0u);
        EXPECT_EQ(o.fake->Take(), check);
    }
    // Without alarms each arming waits its 250 ms at once.
    o.fake->alarmsAvailable = 0;
    EXPECT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, 2000), 0u);
    EXPECT_EQ(o.fake->Take(), "w6=9f w7=4 d250000 d250000 ");
}

TEST(Clock, LimitsRefuseClampAndReportFailures) {
    Opened o(kIsa);
    ControllerSession& s = o.s();
    const ZPX_Handle h = o.handle;
    std::map<uint32_t, uint8_t>& regs = o.file->regs;
    uint32_t lo = 0, hi = 0, khz = 0;
    EXPECT_EQ(ZPX_GetFrequencyRange(h, &lo, &hi), 0u);
    EXPECT_EQ(lo * 100000 + hi, 100u * 100000 + 25000);
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, 99), 11u);
    EXPECT_EQ(ZPX_CheckCtrlFrequency(h, 0, -5), 11u);
    EXPECT_EQ(s.tckKhz, 1);
    EXPECT_TRUE(o.device->calls.empty());
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 1, 30000), 0u);
    EXPECT_EQ(s.tckKhz, 25000);
    EXPECT_EQ(regs[30] * 256 + regs[31], 6 * 256 + 8);  // option bit 3
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, 150), 0u);
    EXPECT_EQ(ZPX_GetCurrentFrequency(h, &khz), 0u);
    EXPECT_EQ(s.tckKhz * 1000 + static_cast<int32_t>(khz), 150 * 1000 + 100);

    // A DeviceInfo's limits, in kHz and inclusive, and what a generator can take; tckKhz stays.
    ZPX_DeviceInfo info{}, open{};
    info.MinFrequencyKhz = 100;
    info.MaxFrequencyKhz = 25000;
    open.MinFrequencyKhz = -10;
    open.MaxFrequencyKhz = INT32_MAX;
    o.fake->Take();
    const std::pair<uint32_t, uint32_t> refused[] = {
        {ZPX_SetFrequency(h, &info, 0, 25001), 11},   {ZPX_CheckFrequency(h, &info, 0, 99), 11},
        {ZPX_SetFrequency(h, nullptr, 0, 1000), 10},  {ZPX_SetFrequency(h, &open, 0, 0), 10},
        {ZPX_SetFrequency(h, &open, 0, 2147484), 10}, {ZPX_GetCurrentFrequency(h, nullptr), 10},
        {ZPX_GetFrequencyRange(h, nullptr, &hi), 10}};
    for (const auto& [rc, expected] : refused)
        EXPECT_EQ(rc, expected);
    EXPECT_EQ(o.fake->Take(), "");
    EXPECT_EQ(ZPX_SetFrequency(h, &open, 0, 25000), 0u);
    EXPECT_EQ(regs[30], 6);
    EXPECT_EQ(s.tckKhz, 150);

    o.file->failAfter = o.file->served;
    regs[31] = 0x77;
    o.fake->Take();
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, 1000), 10u);
    EXPECT_EQ(s.tckKhz, 1000);
    EXPECT_EQ(regs[31], 0x77);
    EXPECT_EQ(o.fake->Take(), "fail ");
    khz = 5;
    EXPECT_EQ(ZPX_GetCurrentFrequency(h, &khz), 10u);
    EXPECT_EQ(khz, 0u);
    EXPECT_EQ(o.fake->Take(), "fail ");
    o.file->failAfter = -1;

    // A controller type without a clock: limits -1; anything not below -1 is 10, sending nothing.
    s.controllerType = -1;
    EXPECT_EQ(ZPX_GetFrequencyRange(h, &lo, &hi), 0u);
    EXPECT_EQ(lo, 0xFFFFFFFFu);
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, -2), 11u);
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, 1000), 10u);
    EXPECT_EQ(s.tckKhz, -1);
    EXPECT_EQ(o.fake->Take(), "");
    s.controllerType = 0;
}

// A PCI controller of type 2 and revision 3; its log shows the register accesses with the sleeps
// taken between them ("w2=89 s2 ... w3=7 s100 r3=1 ...").
class Identity : public ::testing::Test {
  protected:
    std::string Take() { return o.fake->Take(); }
    void FailIn(int requests) { o.file->failAt = o.file->served + requests; }

    Opened o{kPci, [] {
                 auto file = std::make_shared<RegisterFile>();
                 file->selected[0] = {0x38};
                 return file;
             }()};
};

TEST_F(Identity, SerialRomsFollowTheirSequencesWaitsAndCheck) {
    const std::deque<uint8_t> good = {1, 2, 3, 4, 5, 6, 7, 0x0F};
    const std::string goodBytes =
        "r3=1 s10 r3=2 s10 r3=3 s10 r3=4 s10 r3=5 s10 r3=6 s10 r3=7 s10 r3=f s10 ";
    uint32_t high = 9, low = 9;
    o.file->selected[6] = good;
    EXPECT_EQ(ZPX_GetControllerSerialNumber(o.handle, &high, &low), 0u);
    EXPECT_EQ(uint64_t{high} << 32 | low, 0x0F07060504030201u);
    EXPECT_EQ(Take(), "w3=6 s15 " + goodBytes + "w3=0 ");
    // The 1-Wire ROM example of the sensor maker's application note, family 02, CRC A2.
    o.file->selected[6] = {0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2};
    EXPECT_EQ(ZPX_GetControllerSerialNumber(o.handle, &high, &low), 0u);
    EXPECT_EQ(uint64_t{high} << 32 | low, 0xA200000001B81C02u);
    // The published check value of this CRC (reflected 0x31, init 0): "123456789" gives 0xA1.
    // Both ROMs above would also pass under the unreflected polynomial; this would not.
    uint8_t check = 0;
    for (char c : std::string("123456789"))
        check = device::Crc8Maxim(check, static_cast<uint8_t>(c));
    EXPECT_EQ(check, 0xA1);
    o.file->selected[6] = {1, 0, 0, 0, 0, 0, 0, 0};  // CRC 0x43, not 0: serial 0, success
    EXPECT_EQ(ZPX_GetControllerSerialNumber(o.handle, &high, &low), 0u);
    EXPECT_EQ(high | low, 0u);

    Take();
    o.file->selected[7] = good;
    EXPECT_EQ(ZPX_GetTransceiverSerialNumber(o.handle, &high, &low), 0u);
    EXPECT_EQ(Take(),
              "w2=19 w2=39 w2=19 w2=39 w2=19 w2=39 w2=19 w2=1 s25 w3=7 s20 " + goodBytes + "w3=0 ");

    // Pod 2: the ROM answers on the second poll; the zero before its 1 leaves the check alone.
    o.file->selected[7] = {0, 1, 2, 3, 4, 5, 6, 7, 0x0F};
    EXPECT_EQ(ZPX_GetPodSerialNumber(o.handle, 2, &high, &low), 0u);
    EXPECT_EQ(uint64_t{high} << 32 | low, 0x0F07060504030201u);
    EXPECT_EQ(Take(),
              "s50 w2=89 s2 w2=a9 s2 w2=99 s2 w2=b9 s2 w2=99 s2 w2=b9 s2 w2=99 s2 w2=1 "
              "s25 w3=7 s100 r3=0 w3=7 s100 r3=1 s20 r3=2 s20 r3=3 s20 r3=4 s20 r3=5 "
              "s20 r3=6 s20 r3=7 s20 r3=f s20 w3=0 ");

    // A pod that never answers: 25 polls, then registers 3 and 2 back to idle.
    o.file->selected[7] = {0};
    o.s().register2Copy = 0x55;
    std::string polls;
    for (int i = 0; i < 25; ++i)
        polls += "w3=7 s100 r3=0 ";
    EXPECT_EQ(ZPX_GetPodSerialNumber(o.handle, 0, &high, &low), 1u);
    EXPECT_EQ(Take(),
              "s50 w2=9 s2 w2=29 s2 w2=19 s2 w2=39 s2 w2=19 s2 w2=39 s2 w2=19 s2 w2=1 s25 " +
                  polls + "w3=0 w2=1 ");
    EXPECT_EQ(o.s().register2Copy, 1u);

    // Cleanup differs by step: a refused register-2 write restores both registers, a refused
    // ROM byte only selects 0. A pod number above 3 or a missing output: 10, nothing sent.
    FailIn(2);
    EXPECT_EQ(ZPX_GetTransceiverSerialNumber(o.handle, &high, &low), 1u);
    EXPECT_EQ(Take(), "w2=19 w2=39 fail w3=0 w2=1 ");
    FailIn(3);
    o.file->selected[6] = good;
    EXPECT_EQ(ZPX_GetControllerSerialNumber(o.handle, &high, &low), 1u);
    EXPECT_EQ(Take(), "w3=6 s15 r3=1 s10 r3=2 s10 fail w3=0 ");
    EXPECT_EQ(ZPX_GetPodSerialNumber(o.handle, 4, &high, &low), 10u);
    EXPECT_EQ(ZPX_GetControllerSerialNumber(o.handle, nullptr, &low), 10u);
    EXPECT_EQ(ZPX_GetTransceiverSerialNumber(o.handle, &high, nullptr), 10u);
    EXPECT_EQ(Take(), "");
}

TEST_F(Identity, RevisionFlashCodeMemorySizesAndWaitTime) {
    ControllerSession& s = o.s();
    ASSERT_EQ(s.controllerType, 2);
    uint32_t v = 0;
    // The revision is kept once it is not 0; a 0 is read again next time.
    o.file->selected[0] = {0x08};
    EXPECT_EQ(ZPX_GetControllerEPLD(o.handle, &v), 0u);
    o.file->selected[0] = {0x38};
    EXPECT_EQ(ZPX_GetControllerEPLD(o.handle, &v), 0u);
    EXPECT_EQ(o.Get(ZPX_GetControllerEPLD), 3u);
    EXPECT_EQ(Take(), "w3=0 r3=8 w3=0 w3=0 r3=38 w3=0 ");

    // The first size lookup reads the flash code; later ones and the flash export use it.
    o.file->selected[1] = {0xC5};
    const uint32_t sizes[] = {0x400000, 0x200000, 0x800000, 0x200000, 0x200000, 0x200000, 0, 0};
    for (int32_t kind = 0; kind < 8; ++kind) {
        EXPECT_EQ(ZPX_GetMemorySize(o.handle, kind == 7 ? -1 : kind, &v), 0u);
        EXPECT_EQ(v, sizes[kind]) << kind;
    }
    EXPECT_EQ(o.Get(ZPX_GetControllerFlash), 0xC5u);
    EXPECT_EQ(o.Get(ZPX_GetCntrWaitTime), 1000u);
    EXPECT_EQ(Take(), "w3=1 r3=c5 w3=0 ");

    // A type without a row has no memories.
    s.controllerType = 7;
    EXPECT_EQ(o.Get(ZPX_GetMemorySize, 0), 0u);
    EXPECT_EQ(Take(), "");

    // Wait time: the flash code is read when unknown; a failed read stores nothing.
    s.controllerType = 0;
    s.flashCode = 0;
    FailIn(1);
    v = 77;
    EXPECT_EQ(ZPX_GetCntrWaitTime(o.handle, &v), 1u);
    EXPECT_EQ(v, 77u);
    EXPECT_EQ(o.Get(ZPX_GetCntrWaitTime), 640u);
    for (uint32_t rc :
         {ZPX_GetControllerFlash(o.handle, nullptr), ZPX_GetMemorySize(o.handle, 0, nullptr),
          ZPX_GetControllerEPLD(o.handle, nullptr), ZPX_GetCntrWaitTime(o.handle, nullptr)})
        EXPECT_EQ(rc, 10u);
}

TEST(BoardTest, VerdictsFromTheClockRangeRegister) {
    // Range register before, byte written, upper nibble read back, verdict.
    const uint32_t cases[][4] = {{0x05, 0x35, 0x6, 0}, {0x05, 0x35, 0xC, 2}, {0x05, 0x35, 0x3, 1},
                                 {0x85, 0x85, 0x1, 0}, {0x85, 0x85, 0x7, 2}, {0x40, 0x70, 0xE, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0] * 100 + c[2]);
        Opened o(kIsa);
        o.file->regs[31] = static_cast<uint8_t>(c[0]);
        auto inner = o.device->handler;
        o.device->handler = [&, inner](uint32_t code, const uint8_t* in, uint32_t n, uint8_t* out,
                                       uint32_t m) {
            const bool ok = inner(code, in, n, out, m);
            if (code == transport::kRequestRegisterWrite && GetU32(in) == 31) {
                EXPECT_EQ(GetU32(in + 4), c[1]);  // the board answers in the upper nibble
                o.file->regs[31] = static_cast<uint8_t>(c[2] << 4 | (c[1] & 0xF));
            }
            return ok;
        };
        uint32_t verdict = 99;
        EXPECT_EQ(ZPX_BoardValid(o.handle, 0, &verdict), 0u);
        EXPECT_EQ(verdict, c[3]);
        EXPECT_EQ(o.fake->Take().find("alloc"), std::string::npos);  // no clock settle
        o.file->failAfter = o.file->served;
        EXPECT_EQ(ZPX_BoardValid(o.handle, 0, &verdict), 10u);
        EXPECT_EQ(ZPX_BoardValid(o.handle, 0, nullptr), 10u);
    }
}

}  // namespace
}  // namespace zpx::testing
