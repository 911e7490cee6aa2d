// The controller's own information: the test clock (both generator schemes' arithmetic, the
// settle after programming, the limits), its identity (serial ROMs, revision, flash code, memory
// sizes, wait time, board test) and the information record and queries built from them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/identity.h"
#include "driver_fixture.h"
#include "info/clock.h"
#include "session/in_use_guard.h"

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
    ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, 1000), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "w6=9f w7=5 alloc1=2 set1=250 reset1 ");
    EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 0, 1000), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "r7=5 r6=9f ");
    o.file->regs[6] = 0;  // changed behind the session's back
    EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, 0, 1000), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "r7=5 r6=0 w6=9f w7=5 reset1 reset1 ");
    // With the option the range register holds 15, which reads back as exponent 7: in force only
    // for a setting of exponent 7 (300 kHz) checked with the option too.
    for (const auto& [option, khz, check] : {std::tuple<uint32_t, int32_t, const char*>{
                                                 1, 1000, "r7=f r6=9f w6=9f w7=f reset1 reset1 "},
                                             {1, 300, "r7=f r6=bf "},
                                             {0, 300, "r7=f r6=bf w6=bf w7=7 reset1 reset1 "}}) {
        ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 1, khz), ZPX_STATUS_OK);
        o.fake->Take();
        EXPECT_EQ(ZPX_CheckCtrlFrequency(o.handle, option, khz), ZPX_STATUS_OK);
        EXPECT_EQ(o.fake->Take(), check);
    }
    // Without alarms each arming waits its 250 ms at once.
    o.fake->alarmsAvailable = 0;
    EXPECT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, 2000), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "w6=9f w7=4 d250000 d250000 ");
}

TEST(Clock, LimitsRefuseClampAndReportFailures) {
    Opened o(kIsa);
    const ZPX_Handle h = o.handle;
    const int32_t& tckKhz = o.s().tckKhz;
    std::map<uint32_t, uint8_t>& regs = o.file->regs;
    uint32_t lo = 0, hi = 0, khz = 0;
    EXPECT_EQ(ZPX_GetFrequencyRange(h, &lo, &hi), ZPX_STATUS_OK);
    EXPECT_EQ(lo * 100000 + hi, 100u * 100000 + 25000);
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, 99), ZPX_STATUS_NOT_AVAILABLE);
    EXPECT_EQ(ZPX_CheckCtrlFrequency(h, 0, -5), ZPX_STATUS_NOT_AVAILABLE);
    EXPECT_EQ(tckKhz, 1);
    EXPECT_TRUE(o.device->calls.empty());
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 1, 30000), ZPX_STATUS_OK);
    EXPECT_EQ(tckKhz, 25000);
    EXPECT_EQ(regs[30] * 256 + regs[31], 6 * 256 + 8);              // option bit 3
    EXPECT_EQ(ZPX_CheckCtrlFrequency(h, 0, 25000), ZPX_STATUS_OK);  // in force but for the option
    EXPECT_EQ(regs[31], 0);
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, 150), ZPX_STATUS_OK);
    EXPECT_EQ(ZPX_GetCurrentFrequency(h, &khz), ZPX_STATUS_OK);
    EXPECT_EQ(tckKhz * 1000 + static_cast<int32_t>(khz), 150 * 1000 + 100);

    // A DeviceInfo's limits, in kHz and inclusive, and what a generator can take; tckKhz stays.
    ZPX_DeviceInfo info{}, open{};
    info.MinFrequencyKhz = 100;
    info.MaxFrequencyKhz = 25000;
    open.MinFrequencyKhz = -10;
    open.MaxFrequencyKhz = INT32_MAX;
    o.fake->Take();
    const std::pair<uint32_t, uint32_t> refused[] = {
        {ZPX_SetFrequency(h, &info, 0, 25001), ZPX_STATUS_NOT_AVAILABLE},
        {ZPX_CheckFrequency(h, &info, 0, 99), ZPX_STATUS_NOT_AVAILABLE},
        {ZPX_SetFrequency(h, nullptr, 0, 1000), ZPX_STATUS_INVALID},
        {ZPX_SetFrequency(h, &open, 0, 0), ZPX_STATUS_INVALID},
        {ZPX_SetFrequency(h, &open, 0, 2147484), ZPX_STATUS_INVALID},
        {ZPX_GetCurrentFrequency(h, nullptr), ZPX_STATUS_INVALID},
        {ZPX_GetFrequencyRange(h, nullptr, &hi), ZPX_STATUS_INVALID}};
    for (const auto& [rc, expected] : refused)
        EXPECT_EQ(rc, expected);
    EXPECT_EQ(o.fake->Take(), "");
    EXPECT_EQ(ZPX_SetFrequency(h, &open, 0, 25000), ZPX_STATUS_OK);
    EXPECT_EQ(regs[30], 6);
    EXPECT_EQ(tckKhz, 150);

    o.file->failAfter = o.file->served;
    regs[31] = 0x77;
    o.fake->Take();
    EXPECT_EQ(ZPX_SetCtrlFrequency(h, 0, 1000), ZPX_STATUS_INVALID);
    EXPECT_EQ(tckKhz, 1000);
    EXPECT_EQ(regs[31], 0x77);
    khz = 5;
    EXPECT_EQ(ZPX_GetCurrentFrequency(h, &khz), ZPX_STATUS_INVALID);
    EXPECT_EQ(khz, 0u);
    EXPECT_EQ(o.fake->Take(), "fail fail ");
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
    uint32_t high = 9, low = 9;
};

const std::deque<uint8_t> kGoodRom = {1, 2, 3, 4, 5, 6, 7, 0x0F};
const std::string kGoodRomReads =
    "r3=1 s10 r3=2 s10 r3=3 s10 r3=4 s10 r3=5 s10 r3=6 s10 r3=7 s10 r3=f s10 ";

TEST_F(Identity, SerialRomsFollowTheirSequencesWaitsAndCheck) {
    o.file->selected[6] = kGoodRom;
    EXPECT_EQ(ZPX_GetControllerSerialNumber(o.handle, &high, &low), ZPX_STATUS_OK);
    EXPECT_EQ(uint64_t{high} << 32 | low, 0x0F07060504030201u);
    EXPECT_EQ(Take(), "w3=6 s15 " + kGoodRomReads + "w3=0 ");
    // The published check value of this CRC (reflected 0x31, init 0): "123456789" gives 0xA1.
    // The ROM above would also pass under the unreflected polynomial; this would not.
    uint8_t check = 0;
    for (char c : std::string("123456789"))
        check = device::Crc8Maxim(check, static_cast<uint8_t>(c));
    EXPECT_EQ(check, 0xA1);
    o.file->selected[6] = {1, 0, 0, 0, 0, 0, 0, 0};  // CRC 0x43, not 0: serial 0, success
    EXPECT_EQ(ZPX_GetControllerSerialNumber(o.handle, &high, &low), ZPX_STATUS_OK);
    EXPECT_EQ(high | low, 0u);

    Take();
    o.file->selected[7] = kGoodRom;
    EXPECT_EQ(ZPX_GetTransceiverSerialNumber(o.handle, &high, &low), ZPX_STATUS_OK);
    EXPECT_EQ(Take(), "w2=19 w2=39 w2=19 w2=39 w2=19 w2=39 w2=19 w2=1 s25 w3=7 s20 " +
                          kGoodRomReads + "w3=0 ");

    // Pod 2: the ROM answers on the second poll; the zero before its 1 leaves the check alone.
    o.file->selected[7] = {0, 1, 2, 3, 4, 5, 6, 7, 0x0F};
    EXPECT_EQ(ZPX_GetPodSerialNumber(o.handle, 2, &high, &low), ZPX_STATUS_OK);
    EXPECT_EQ(uint64_t{high} << 32 | low, 0x0F07060504030201u);
    EXPECT_EQ(Take(),
              "s50 w2=89 s2 w2=a9 s2 w2=99 s2 w2=b9 s2 w2=99 s2 w2=b9 s2 w2=99 s2 w2=1 "
              "s25 w3=7 s100 r3=0 w3=7 s100 r3=1 s20 r3=2 s20 r3=3 s20 r3=4 s20 r3=5 "
              "s20 r3=6 s20 r3=7 s20 r3=f s20 w3=0 ");

    // A pod that never answers: 25 polls, then registers 3 and 2 back to idle, the session's
    // copy of register 2 too (the TAP enables are written on it).
    o.file->selected[7] = {0};
    ASSERT_EQ(ZPX_SetTapEnable(o.handle, 0x50), ZPX_STATUS_OK);
    Take();
    std::string polls;
    for (int k = 0; k < 25; ++k)
        polls += "w3=7 s100 r3=0 ";
    EXPECT_EQ(ZPX_GetPodSerialNumber(o.handle, 0, &high, &low), ZPX_STATUS_FAILED);
    EXPECT_EQ(ZPX_SetTapEnable(o.handle, 0x50), ZPX_STATUS_OK);
    EXPECT_EQ(Take(),
              "s50 w2=9 s2 w2=29 s2 w2=19 s2 w2=39 s2 w2=19 s2 w2=39 s2 w2=19 s2 w2=1 s25 " +
                  polls + "w3=0 w2=1 w2=51 ");

    // Cleanup differs by step: a refused register-2 write restores both registers, a refused
    // ROM byte only selects 0. A pod number above 3 or a missing output: 10, nothing sent.
    FailIn(2);
    EXPECT_EQ(ZPX_GetTransceiverSerialNumber(o.handle, &high, &low), ZPX_STATUS_FAILED);
    EXPECT_EQ(Take(), "w2=19 w2=39 fail w3=0 w2=1 ");
    FailIn(3);
    o.file->selected[6] = kGoodRom;
    EXPECT_EQ(ZPX_GetControllerSerialNumber(o.handle, &high, &low), ZPX_STATUS_FAILED);
    EXPECT_EQ(Take(), "w3=6 s15 r3=1 s10 r3=2 s10 fail w3=0 ");
    EXPECT_EQ(ZPX_GetPodSerialNumber(o.handle, 4, &high, &low), ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_GetControllerSerialNumber(o.handle, nullptr, &low), ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_GetTransceiverSerialNumber(o.handle, &high, nullptr), ZPX_STATUS_INVALID);
    EXPECT_EQ(Take(), "");
}

TEST_F(Identity, RevisionFlashCodeMemorySizesAndWaitTime) {
    uint32_t v = 0;
    // The revision is kept once it is not 0; a 0 is read again next time.
    o.file->selected[0] = {0x08};
    EXPECT_EQ(ZPX_GetControllerEPLD(o.handle, &v), ZPX_STATUS_OK);
    o.file->selected[0] = {0x38};
    EXPECT_EQ(ZPX_GetControllerEPLD(o.handle, &v), ZPX_STATUS_OK);
    EXPECT_EQ(o.Get(ZPX_GetControllerEPLD), 3u);
    EXPECT_EQ(Take(), "w3=0 r3=8 w3=0 w3=0 r3=38 w3=0 ");

    // The first size lookup reads the flash code; later ones and the flash export use it.
    o.file->selected[1] = {0xC5};
    const uint32_t sizes[] = {0x400000, 0x200000, 0x800000, 0x200000, 0x200000, 0x200000, 0, 0};
    for (int32_t kind = 0; kind < 8; ++kind)
        EXPECT_EQ(o.Get(ZPX_GetMemorySize, kind == 7 ? -1 : kind), sizes[kind]) << kind;
    EXPECT_EQ(o.Get(ZPX_GetControllerFlash), 0xC5u);
    EXPECT_EQ(o.Get(ZPX_GetCntrWaitTime), 1000u);
    EXPECT_EQ(Take(), "w3=1 r3=c5 w3=0 ");
    Opened large(kPci);  // of type 3, with a flash code of 0xD to 0xF: the largest row
    large.file->selected[1] = {0xD0};
    EXPECT_EQ(large.Get(ZPX_GetMemorySize, 0), 0x800000u);
    for (uint32_t rc :
         {ZPX_GetControllerFlash(o.handle, nullptr), ZPX_GetMemorySize(o.handle, 0, nullptr),
          ZPX_GetControllerEPLD(o.handle, nullptr), ZPX_GetCntrWaitTime(o.handle, nullptr)})
        EXPECT_EQ(rc, ZPX_STATUS_INVALID);

    // The 5120 family's wait time; the flash code is read when unknown, a failed read stores
    // nothing.
    Opened old(kPci5120);
    old.file->failAt = old.file->served;
    v = 77;
    EXPECT_EQ(ZPX_GetCntrWaitTime(old.handle, &v), ZPX_STATUS_FAILED);
    EXPECT_EQ(v, 77u);
    EXPECT_EQ(old.Get(ZPX_GetCntrWaitTime), 640u);
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
        EXPECT_EQ(o.Get(ZPX_BoardValid, 0), c[3]);
        EXPECT_EQ(o.fake->Take().find("alloc"), std::string::npos);  // no clock settle
        o.file->failAfter = o.file->served;
        uint32_t verdict = 99;
        EXPECT_EQ(ZPX_BoardValid(o.handle, 0, &verdict), ZPX_STATUS_INVALID);
        EXPECT_EQ(ZPX_BoardValid(o.handle, 0, nullptr), ZPX_STATUS_INVALID);
    }
}

// The words of a block, space-separated.
std::string Words(const int32_t* block, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += (i > 0 ? " " : "") + std::to_string(block[i]);
    return out;
}

TEST(InfoRecords, RecordFollowsTheSessionAndQueriesAnswerWhatWasAsked) {
    Opened o(kPci);
    o.file->selected[1] = {0x45};
    ZPX_ControllerInfoRecord* record = nullptr;
    EXPECT_EQ(ZPX_GetControllerInfo(o.handle, nullptr), ZPX_STATUS_NULL_HANDLE);
    ASSERT_EQ(ZPX_GetControllerInfo(o.handle, &record), ZPX_STATUS_OK);
    ASSERT_NE(record, nullptr);
    // Pod not known: no TAPs, no blocks; the type, limits, sizes, pod and clock are answered. The
    // flash code is read once, for the memory sizes; the clock at every refresh.
    EXPECT_EQ(record->ValidMask * 10 + record->TapCount, (0x1000Fu | 0x3F0 | 0x400) * 10);
    EXPECT_EQ(record->TapStates, nullptr);
    EXPECT_EQ(record->ControllerType * 100000 + record->MaxFrequencyKhz, 340000);
    EXPECT_EQ(o.fake->Take(), "w3=1 r3=45 w3=0 r7=0 r6=0 ");
    // Pod kind and TAPs; TAP types, the TAP-state, lowest and highest output blocks (each with
    // a word 0 after the four TAPs) and the threshold range of TAP index 1.
    const std::tuple<uint8_t, const char*, const char*, const char*, const char*, const char*,
                     int32_t>
        pods[] = {{0, "", "4 4 4 4", "4 4 4 4", "33 33 33 33", "50 50 50 50", 3350},
                  {2, "0-0-", "0 -1 0 -1", "0 0 0 0", "10 -1 10 -1", "36 -1 36 -1", -101},
                  {2, "1111", "1 1 1 1", "1 1 1 1", "10 10 10 10", "36 36 36 36", 41}};
    for (const auto& [kind, taps, types, states, lowest, highest, threshold] : pods) {
        SCOPED_TRACE(taps);
        IdentifyPod(o, kind, taps);
        ZPX_ControllerInfoRecord* again = nullptr;
        ASSERT_EQ(ZPX_GetControllerInfo(o.handle, &again), ZPX_STATUS_OK);
        EXPECT_EQ(again, record);
        EXPECT_EQ(o.fake->Take(), "r7=0 r6=0 ");
        EXPECT_EQ(record->ValidMask, 0x1000Fu | 0x3F0 | 0x7C00);
        EXPECT_EQ(Words(record->TapStates, 5), std::string(states) + " 0");
        EXPECT_EQ(Words(record->MinOutputVoltage, 5), std::string(lowest) + " 0");
        EXPECT_EQ(Words(record->MaxOutputVoltage, 5), std::string(highest) + " 0");
        // The getters read the session alone.
        int32_t got[4], low[4], high[4];
        for (int32_t t = 0; t < 4; ++t) {
            got[t] = o.Get<int32_t>(ZPX_GetTapType, t + 1);
            EXPECT_EQ(ZPX_GetOutputVoltRange(o.handle, t, &low[t], &high[t]), ZPX_STATUS_OK);
        }
        EXPECT_EQ(Words(got, 4) + " / " + Words(low, 4) + " / " + Words(high, 4),
                  std::string(types) + " / " + lowest + " / " + highest);
        EXPECT_EQ(ZPX_GetThresholdVoltRange(o.handle, 1, &low[0], &high[0]), ZPX_STATUS_OK);
        EXPECT_EQ(low[0] * 100 + high[0], threshold);
        EXPECT_EQ(o.fake->Take(), "");
    }
    int32_t type = 99, low = 0, high = 0;
    for (int32_t tap : {0, 5})
        EXPECT_EQ(ZPX_GetTapType(o.handle, tap, &type), ZPX_STATUS_OK);
    EXPECT_EQ(type, 99);
    EXPECT_EQ(ZPX_GetOutputVoltRange(o.handle, 4, &low, &high), ZPX_STATUS_INVALID);

    // The query of the session. Nothing asked: register 0x0B twice; bit 6 sets only the copy's
    // bit 0 (which the next write of the TAP enables shows).
    IdentifyPod(o, 2, "1-11");
    ZPX_InfoQuery query{};
    std::fill_n(reinterpret_cast<uint32_t*>(&query), 23, 0xEEEEEEEEu);
    query.RequestMask = 0;
    o.file->regs[0x0B] = 0x43;
    ASSERT_EQ(ZPX_ControllerInfoNew(o.handle, &query), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_SetTapEnable(o.handle, 0), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "rb=43 rb=43 w2=1 ");
    EXPECT_EQ(query.ValidMask + query.ControllerSerialHigh + query.PodSerial[3][1], 0u);
    EXPECT_EQ(query.ControllerType, static_cast<int32_t>(0xEEEEEEEE));
    // The pod type and TAP types of the session, the TAPs only while the pod is active; the
    // memory size in MiB.
    query.RequestMask = ZPX_QUERY_POD_TYPE | ZPX_QUERY_TAP(0) | ZPX_QUERY_TAP(1) | 0x4000;
    o.file->regs[0x0B] = 0x03;
    ASSERT_EQ(ZPX_ControllerInfoNew(o.handle, &query), ZPX_STATUS_OK);
    EXPECT_EQ(query.ValidMask, 0x4002u);
    o.file->regs[0x0B] = 0x43;
    ASSERT_EQ(ZPX_ControllerInfoNew(o.handle, &query), ZPX_STATUS_OK);
    EXPECT_EQ(query.ValidMask, 0x400Eu);
    EXPECT_EQ(query.Tap[1] * 100 + query.Tap[0] * 10 + query.PodType, -100 + 10 + 2);
    EXPECT_EQ(query.MemorySize2Mib, 16u);  // type 3 with flash code 0x45
    EXPECT_EQ(ZPX_ControllerInfoNew(o.handle, nullptr), ZPX_STATUS_INVALID);
    {
        InUseGuard busy(o.s().inUse);
        EXPECT_EQ(ZPX_ControllerInfoNew(o.handle, nullptr), ZPX_STATUS_INVALID);
        EXPECT_EQ(ZPX_ControllerInfoNew(o.handle, &query), ZPX_STATUS_BUSY);
    }
    // The query of a record of the 5120 family: powered by definition, no serial numbers.
    o.fake->Take();
    ZPX_DeviceInfo info{};
    info.PodKind = 1;
    info.TapState[1] = -1;
    info.MemorySize[2] = 0x400000;
    query.RequestMask = 0x7FFF;
    ASSERT_EQ(ZPX_ControllerInfo(o.handle, &info, &query), ZPX_STATUS_OK);
    EXPECT_EQ(query.ValidMask, 0x403Fu);
    EXPECT_EQ(query.Tap[1] * 100 + query.PodType * 10 + static_cast<int32_t>(query.MemorySize2Mib),
              -100 + 10 + 4);
    EXPECT_EQ(o.fake->Take(), "");
    EXPECT_EQ(ZPX_ControllerInfo(o.handle, nullptr, &query), ZPX_STATUS_INVALID);

    // A pod powered off is forgotten: no TAPs, no blocks again.
    ASSERT_EQ(ZPX_SetPodPowerOff(o.handle), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_GetControllerInfo(o.handle, &record), ZPX_STATUS_OK);
    EXPECT_EQ(record->ValidMask * 10 + record->TapCount, (0x1000Fu | 0x3F0 | 0x400) * 10);
    EXPECT_EQ(record->TapStates, nullptr);

    // Both queries, for a 51x4 controller with a powered pod: the power read, the controller's
    // serial number, revision or flash code failing gives 10, with the controller type answered
    // before kept. What is asked, the requests that succeed before the one that fails (the query
    // from a record reads register 0x0B once, the other twice) and what is sent.
    const std::tuple<uint32_t, int, const char*> reads[] = {
        {0, 0, "fail "},
        {ZPX_QUERY_CONTROLLER_SERIAL, 1, "rb=3 fail w3=0 "},
        {ZPX_QUERY_EPLD_REVISION, 1, "rb=3 fail "},
        {ZPX_QUERY_FLASH_CODE, 1, "rb=3 fail "}};
    for (bool fromRecord : {true, false}) {
        for (const auto& [item, before, log] : reads) {
            SCOPED_TRACE(std::to_string(item) + (fromRecord ? " from a record" : ""));
            const bool secondPowerRead = !fromRecord && before > 0;
            Opened f(kPci);
            f.file->regs[0x0B] = 3;
            f.file->failAt = f.file->served + before + (secondPowerRead ? 1 : 0);
            info = ZPX_DeviceInfo{};
            info.ControllerKind = 3;
            query.RequestMask = ZPX_QUERY_CONTROLLER_TYPE | item;
            EXPECT_EQ(fromRecord ? ZPX_ControllerInfo(f.handle, &info, &query)
                                 : ZPX_ControllerInfoNew(f.handle, &query),
                      ZPX_STATUS_INVALID);
            EXPECT_EQ(f.fake->Take(), (secondPowerRead ? "rb=3 " : "") + std::string(log));
            EXPECT_EQ(query.ValidMask, ZPX_QUERY_CONTROLLER_TYPE);
        }
    }
}

// A serial number that reads 0 is read again, 25 times in all: the controller's (whose failed
// read fails the query) and the transceiver's (whose failures count as reads of 0).
TEST(InfoQueries, SerialNumbersAreReadUpTo25TimesWhileTheyReadZero) {
    // The ROM's select, the reads that give 0 first (-1 every read fails), then the status, the
    // words and the selects of the ROM.
    const std::tuple<uint32_t, int, uint32_t, uint64_t, int> cases[] = {
        {6, 24, ZPX_STATUS_OK, 0x0F07060504030201, 25},
        {6, 25, ZPX_STATUS_OK, 0, 25},
        {6, -1, ZPX_STATUS_INVALID, 0, 1},
        {7, 24, ZPX_STATUS_OK, 0x0F07060504030201, 25},
        {7, -1, ZPX_STATUS_OK, 0, 25}};
    for (const auto& [select, zeros, status, serial, selects] : cases) {
        SCOPED_TRACE(std::to_string(select) + ": " + std::to_string(zeros));
        Opened o(kPci);
        o.file->regs[0x0B] = 3;
        std::deque<uint8_t>& rom = o.file->selected[select];
        rom.assign(8 * std::max(zeros, 0), 0);
        rom.insert(rom.end(), kGoodRom.begin(), kGoodRom.end());
        int selected = 0;
        auto inner = o.device->handler;
        o.device->handler = [&, inner](uint32_t code, const uint8_t* in, uint32_t n, uint8_t* out,
                                       uint32_t m) {
            const bool selecting = code == transport::kRequestRegisterWrite && GetU32(in) == 3 &&
                                   GetU32(in + 4) == select;
            selected += selecting ? 1 : 0;
            return !(selecting && zeros < 0) && inner(code, in, n, out, m);
        };
        ZPX_DeviceInfo info{};
        info.ControllerKind = 3;
        info.PodKind = 1;
        std::fill_n(info.TapState, 4, -1);
        ZPX_InfoQuery query{};
        query.RequestMask =
            select == 6 ? ZPX_QUERY_CONTROLLER_SERIAL : ZPX_QUERY_TRANSCEIVER_SERIAL;
        EXPECT_EQ(ZPX_ControllerInfo(o.handle, &info, &query), status);
        EXPECT_EQ(selected, selects);
        if (status != ZPX_STATUS_OK) continue;
        EXPECT_EQ(query.ValidMask, query.RequestMask);
        EXPECT_EQ(select == 6
                      ? uint64_t{query.ControllerSerialHigh} << 32 | query.ControllerSerialLow
                      : uint64_t{query.TransceiverSerialHigh} << 32 | query.TransceiverSerialLow,
                  serial);
    }
}

}  // namespace
}  // namespace zpx::testing
