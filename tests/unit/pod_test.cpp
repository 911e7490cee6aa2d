// The pod link bit for bit (each frame's writes, samples and decoding), pod power, identification
// and activation with the settles they arm, the controller reset with its start-up program, and
// the extender.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "driver_fixture.h"
#include "target/pod.h"
#include "target/pod_link.h"

namespace zpx::testing {
namespace {

using target::TapPins;

std::string Hex(const char* what, uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%s%x ", what, value);
    return text;
}

// The register-2 writes that send `bits` from the running value `v` as the link defines its bit:
// the data bit (bit 4) with the clock (bit 5) low, then with the clock high.
std::string Sent(uint32_t& v, std::string_view bits) {
    std::string out;
    for (char c : bits) {
        if (c == ' ') continue;
        v = c == '1' ? (v | 0x10) : (v & ~0x10u);
        out += Hex("w2=", v & ~0x20u) + Hex("w2=", v | 0x20u);
        v |= 0x20;
    }
    return out;
}

// The traffic of the pin-exchange frame on TAP index `tap` that samples `answer` and drives
// `driven` back, closing with `close`.
std::string ExchangeTraffic(uint32_t tap, std::string_view answer, std::string_view driven,
                            uint32_t close) {
    uint32_t v = tap * 64 + 9;
    std::string out = Hex("w2=", v) + "s5 ";
    out += Sent(v, "01001");
    for (size_t k = 0; k < 10; ++k) {
        out += Hex("r2=", answer[k] == '1' ? 0xF1 : 0xF0);
        out += Sent(v, driven.substr(k, 1));
    }
    return out + Hex("w2=", close);
}

// A controller whose copy of register 2 (which frames close with) is restored at open as
// `register2` with bit 0 from bit 6 of register 0x0B.
std::shared_ptr<RegisterFile> Register2(uint8_t register2) {
    auto file = std::make_shared<RegisterFile>();
    file->regs = {{2, register2}, {0x0B, 0x40}};
    return file;
}

TEST(PodLink, PinFramesSampleThenDriveAndDecodePinZeroFirst) {
    Opened o(kPci, Register2(0x40));
    ControllerSession& s = o.s();
    // identity 0 1, data pins carried inverted (1010 gives 0101 read pin 0 first = 0xA), control
    // 0011 read pin 0 first = 0xC.
    Answer(*o.file, "01 1010 0011");
    TapPins pins{};
    ASSERT_TRUE(target::ReadTapIoPins(s, 1, &pins).ok());
    EXPECT_EQ(o.fake->Take(), ExchangeTraffic(1, "0110100011", "0110100011", 0x41));
    EXPECT_EQ(pins.identity * 256 + pins.data * 16 + pins.control, 1u * 256 + 0xA * 16 + 0xC);
    Answer(*o.file, "00 0000 0000");  // all zero: identity 0, data 15, control 0
    ASSERT_TRUE(target::ReadTapIoPins(s, 3, &pins).ok());
    EXPECT_EQ(pins.identity * 256 + pins.data * 16 + pins.control, 0xF0u);
    o.fake->Take();

    // The exchange drives the masked bits and gives back what it read.
    Answer(*o.file, "11 0000 1111");
    uint32_t word = 0;
    ASSERT_TRUE(target::ExchangeTapIoPins(s, 2, 0x3C0, 0x140, &word).ok());
    EXPECT_EQ(o.fake->Take(), ExchangeTraffic(2, "1100001111", "1100001010", 0x41));
    EXPECT_EQ(word, 0x3C3u);

    // Write pins: header 010000, the data nibble inverted, then the control nibble, pin 0 first.
    ASSERT_TRUE(target::WriteTapIoPins(s, 0, 0x3, 0x9).ok());
    uint32_t v = 0x09;
    EXPECT_EQ(o.fake->Take(), "w2=9 s5 " + Sent(v, "010000 0011 1001") + "w2=41 ");

    // A failed access ends the frame without its closing write; a TAP index above 3 is refused
    // with nothing sent.
    o.file->failAt = o.file->served + 2;
    EXPECT_TRUE(target::WriteTapIoPins(s, 0, 0, 0).failed());
    EXPECT_EQ(o.fake->Take(), "w2=9 s5 w2=9 fail ");
    EXPECT_TRUE(target::ReadTapIoPins(s, 4, &pins).failed());
    EXPECT_TRUE(target::WriteTapVoltages(s, 4, 3300, 1500).failed());
    EXPECT_EQ(o.fake->Take(), "");
}

TEST(PodLink, VoltageFramesCarryTenBitCodesAndTheAdcReadsBack) {
    Opened o(kPci, Register2(0));
    ControllerSession& s = o.s();
    // Output mV, threshold mV, the output code and the threshold code in binary.
    const std::tuple<int32_t, int32_t, const char*, const char*> codes[] = {
        {1000, 0, "0001100100", "0000000000"},     // 100, 0
        {3300, 1500, "1010100011", "0101110111"},  // 675, 375
        {3600, 4094, "1011101110", "1111111111"},  // 750, 1023
        {5000, 5000, "1011101110", "1111111111"},  // clamped
        {1003, 7, "0001100100", "0000000001"},     // cut down to the 4 mV step
    };
    // A frame on TAP index 2 (or 0 for the read-back, whose base write is 9): the base write,
    // then `bits`, closing with the copy of register 2.
    auto frame = [](uint32_t v, const std::string& bits) {
        const std::string base = Hex("w2=", v);
        return base + Sent(v, bits);
    };
    for (const auto& [output, threshold, c1, c2] : codes) {
        SCOPED_TRACE(output);
        ASSERT_TRUE(target::WriteTapVoltages(s, 2, output, threshold).ok());
        EXPECT_EQ(o.fake->Take(), frame(0x89, "0011001" + std::string(c1) + "00") + "w2=1 " +
                                      frame(0x89, "0011010" + std::string(c2) + "00") + "w2=1 ");
    }
    EXPECT_TRUE(target::WriteTapVoltages(s, 2, 999, 1500).failed());
    EXPECT_TRUE(target::WriteTapVoltages(s, 2, INT32_MIN, 0).failed());
    EXPECT_EQ(o.fake->Take(), "");

    // The read-back clocks first and samples after the rising edge; ADC 255 is 4096 mV, 0 is 0,
    // 128 is 2056 (integer arithmetic).
    const std::tuple<const char*, int32_t> readings[] = {{"11111111 00000000", 4096 * 1000 + 0},
                                                         {"10000000 00000001", 2056 * 1000 + 16}};
    auto reading = [&](const std::string& command, std::string_view byte) {
        // Each sample follows a clock, low then high, with the command's last bit (1) still on.
        std::string out = frame(0x09, command);
        for (char b : byte)
            out += "w2=19 w2=39 " + Hex("r2=", b == '1' ? 0xF1 : 0xF0);
        return out;
    };
    for (const auto& [bits, expected] : readings) {
        Answer(*o.file, bits);
        int32_t first = -1, second = -1;
        ASSERT_TRUE(target::ReadTapVoltages(s, 0, &first, &second).ok());
        EXPECT_EQ(first * 1000 + second, expected);
        EXPECT_EQ(o.fake->Take(),
                  reading("10011011111", std::string_view(bits).substr(0, 8)) + "w2=0 " +
                      reading("10011001111", std::string_view(bits).substr(9)) + "w2=1 ");
    }
}

TEST(PodLink, ExtenderCommandRestoresRegisterTwoWithThePodActiveBit) {
    Opened o(kPci);
    ControllerSession& s = o.s();
    EXPECT_EQ(s.extenderMode, -1);
    EXPECT_TRUE(target::SetExtenderMode(s, -1).ok());  // recorded already: nothing sent
    EXPECT_EQ(o.fake->Take(), "");
    o.file->regs[2] = 0x30;
    o.file->regs[0x0B] = 0x43;
    EXPECT_TRUE(target::SetExtenderMode(s, 0).ok());
    uint32_t v = 0xC9;
    EXPECT_EQ(o.fake->Take(), "r2=30 rb=43 w2=c9 s5 " + Sent(v, "110") + "w2=9 w2=31 ");
    EXPECT_EQ(s.extenderMode, 0);
    o.file->regs[2] = 0x30;
    o.file->regs[0x0B] = 0x03;  // the same bits for every mode; -1 records 1
    EXPECT_TRUE(target::SetExtenderMode(s, -1).ok());
    v = 0xC9;
    EXPECT_EQ(o.fake->Take(), "r2=30 rb=3 w2=c9 s5 " + Sent(v, "110") + "w2=9 w2=30 ");
    EXPECT_EQ(s.extenderMode, 1);
    o.file->failAt = o.file->served + 2;  // the base write fails: the mode stays
    EXPECT_TRUE(target::SetExtenderMode(s, 0).failed());
    EXPECT_EQ(s.extenderMode, 1);
}

TEST(Pod, IdentificationFollowsTheKindBitsTheExtenderAndTheTaps) {
    // A powered pod of the 51x4 family: register 3 at select 0 reads `kinds` in turn; register 2
    // answers `reads` (one bit for the read each extender command starts with), then ten bits per
    // TAP read, by `taps`: '0' and '1' the identity of a TAP of that type, '-' no TAP. Then the
    // pod type, the TAP types and the extender commands sent.
    const std::tuple<const char*, std::deque<uint8_t>, bool, const char*, const char*, int32_t,
                     const char*, size_t>
        cases[] = {
            {"kind 0: fixed TAPs, no TAP frame", {0}, false, "", "", 0, "4 4 4 4", 0},
            {"kind 2, TAPs 1 0 1 3", {2}, false, "0", "101-", 1, "0 0 0 -1", 2},
            {"kind 2, TAPs all of type 1", {2}, false, "0", "1111", 2, "1 1 1 1", 2},
            {"kind 3 with the extender off", {3}, true, "", "11--", 3, "1 1 -1 -1", 0},
            {"kind 3 otherwise: unrecognised", {3}, false, "", "0---", -1, "0 -1 -1 -1", 0},
            {"kind 1 asks again, extender off", {1, 2}, false, "000", "1111", 2, "1 1 1 1", 4},
            {"kind 1 that stays 1", {1, 1}, false, "00", "0-00", 1, "0 -1 0 0", 2}};
    for (const auto& [label, kinds, extenderOff, reads, taps, podType, tapTypes, commands] :
         cases) {
        SCOPED_TRACE(label);
        auto file = std::make_shared<RegisterFile>();
        file->regs[0x0B] = 3;
        Opened o(kPci, file);
        EXPECT_TRUE(!extenderOff || target::SetExtenderMode(o.s(), 0).ok());
        o.file->selected[0] = kinds;
        std::string bits = reads;
        for (char t : std::string_view(taps))
            bits += t == '-' ? "1111111111" : t == '1' ? "0100000000" : "0000000000";
        Answer(*o.file, bits);
        o.fake->Take();
        ASSERT_EQ(ZPX_SetPodPowerOn(o.handle), ZPX_STATUS_OK);
        EXPECT_EQ(o.Get<int32_t>(ZPX_GetPodType), podType);
        std::string types;
        for (int32_t tap = 1; tap <= 4; ++tap)
            types += (tap > 1 ? " " : "") + std::to_string(o.Get<int32_t>(ZPX_GetTapType, tap));
        EXPECT_EQ(types, tapTypes);
        // An extender command starts with the reads of registers 2 and 0x0B. Already powered: no
        // power step; pods of type 1 to 3 keep bit 5 of register 1.
        const std::string log = o.fake->Take();
        EXPECT_EQ(Occurrences(log, "rb=3 w2=c9 s5"), commands);
        EXPECT_EQ(log.find("wb="), std::string::npos);
        EXPECT_EQ((o.s().register1Copy & 0x20) != 0, podType >= 1);
        // Probed with the extender off, then back to the mode asked for before.
        uint32_t extender = 99;
        EXPECT_EQ(ZPX_GetPodExtenderMode(o.handle, &extender),
                  podType >= 0 ? ZPX_STATUS_OK : ZPX_STATUS_NOT_AVAILABLE);
        EXPECT_TRUE(podType != 2 || extender == 1u);
    }
}

TEST(Pod, PowerStepsSettlesAndPowerOff) {
    {
        // The 5120 family powers its pod with the controller: identification only. The board
        // test: nibble 8 of the clock range register comes back rotated left, as 1.
        Opened old(kPci5120);
        old.file->queued[7] = {0x8F, 0x1F};
        EXPECT_EQ(old.Get(ZPX_PodPowered), 0u);
        EXPECT_EQ(old.fake->Take(), "r7=8f w7=8f r7=1f w1=0 ");
        EXPECT_EQ(old.Get<int32_t>(ZPX_GetPodType), 0);
        EXPECT_EQ(old.Get(ZPX_PodActivated), 0u);  // the session's bit, not read
        EXPECT_EQ(old.fake->Take(), "");
    }
    Opened o(kPci);
    o.file->queued[0x0B] = {0, 1, 3};
    o.file->selected[0] = {0};
    ASSERT_EQ(ZPX_SetPodPowerOn(o.handle), ZPX_STATUS_OK);
    // Off: step 1, read back, 400 ms, on, read back, the 300 ms settle that identifying awaits.
    EXPECT_EQ(o.fake->Take(),
              "rb=0 wb=1 rb=1 s400 wb=3 rb=3 alloc1=2 set1=300 wait1 free1 w3=0 r3=0 w1=0 ");
    // Powered: bits 0-1 clear store 1 and nothing else; else the copies follow 0x0B (as the
    // next writes of registers 1 and 2 show) and the pod is identified again.
    o.file->queued[0x0B] = {0x40};
    EXPECT_EQ(o.Get(ZPX_PodPowered), 1u);
    EXPECT_EQ(o.fake->Take(), "rb=40 ");
    o.file->queued[0x0B] = {0xC3};
    EXPECT_EQ(o.Get(ZPX_PodPowered), 0u);
    EXPECT_EQ(ZPX_SetTapEnable(o.handle, 0), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "rb=c3 w3=0 r3=0 w1=20 w2=1 ");
    EXPECT_EQ(o.Get<int32_t>(ZPX_GetPodType), 0);

    // Power off: at a clock below 100 kHz 5 ms first; the pod is forgotten, the extender at 1.
    for (const auto& [khz, log] :
         {std::pair<int32_t, const char*>{99, "d5000 wb=0 w1=0 "}, {100, "wb=0 w1=0 "}}) {
        ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, khz), ZPX_STATUS_OK);
        o.fake->Take();
        ASSERT_EQ(ZPX_SetPodPowerOff(o.handle), ZPX_STATUS_OK);
        EXPECT_EQ(o.fake->Take(), log);
        EXPECT_EQ(o.Get<int32_t>(ZPX_GetPodType), -2);
        EXPECT_EQ(o.s().extenderMode, 1);
        EXPECT_EQ(o.s().tapCount, 0u);
    }
}

TEST(Pod, ActivationResetAndTheStartupProgram) {
    {
        // A flash code of 0xB3 or more: the controller starts its pod itself.
        Opened o(kPci);
        o.file->selected[1] = {0xB3};
        IdentifyPod(o, 2, "1111");
        EXPECT_EQ(o.Get(ZPX_GetControllerFlash), 0xB3u);
        o.fake->Take();
        ASSERT_EQ(ZPX_ActivatePod(o.handle, 0), ZPX_STATUS_OK);
        EXPECT_EQ(o.fake->Take(), "w1=20 w2=1 ");
        o.file->regs[0x0B] = 0x43;
        EXPECT_EQ(o.Get(ZPX_PodActivated), 1u);
        EXPECT_EQ(ZPX_PodActivated(o.handle, nullptr), ZPX_STATUS_NULL_HANDLE);
        ASSERT_EQ(ZPX_DeActivatePod(o.handle), ZPX_STATUS_OK);
        EXPECT_EQ(o.fake->Take(), "rb=43 w2=0 ");
    }
    // Below 0xB3 the library loads and runs the program, polling until register 0 reads 0.
    Opened o(kPci);
    o.file->selected[1] = {0x45};
    EXPECT_EQ(o.Get(ZPX_GetControllerFlash), 0x45u);
    IdentifyPod(o, 0);
    o.file->queued[0] = {3, 3, 0};
    ASSERT_EQ(ZPX_ActivatePod(o.handle, 1), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "w1=20 w2=1 w0=3 alloc1=1 set1=1000 wait1 free1 r0=3 r0=3 r0=0 ");
    // The program: every byte 0x81 except ten.
    std::vector<uint8_t> program(123, 0x81);
    const std::pair<size_t, uint8_t> others[] = {{2, 0xF1},   {3, 0x85},  {17, 0xF3}, {18, 0x85},
                                                 {32, 0xB1},  {43, 0xB5}, {54, 0xB3}, {85, 0xB7},
                                                 {116, 0xC7}, {117, 0xC7}};
    for (const auto& [at, byte] : others)
        program[at] = byte;
    EXPECT_EQ(o.file->memory[0], program);
    EXPECT_EQ(o.file->counters[0], 0u);

    // The reset: 0, 1, 0 and a read, the 500 ms settle, 200 ms, the program; the copies keep
    // their pod bits only (as their next writes show), and the pod type is forgotten.
    for (uint32_t rc : {ZPX_SetRunMode(o.handle, 0x0C), ZPX_SetVPPMode(o.handle, 0xC0),
                        ZPX_SetTapEnable(o.handle, 0xF0), ZPX_SetLearnMode(o.handle, 4)})
        ASSERT_EQ(rc, ZPX_STATUS_OK);
    o.fake->Take();
    o.file->queued[0] = {0, 3, 0};
    ASSERT_EQ(ZPX_ResetController(o.handle), ZPX_STATUS_OK);
    for (uint32_t rc :
         {ZPX_SetRunMode(o.handle, 0), ZPX_ClearError(o.handle, 0), ZPX_SetTapEnable(o.handle, 0)})
        ASSERT_EQ(rc, ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(),
              "w0=0 w0=1 w0=0 r0=0 alloc2=2 set2=500 s200 w0=3 alloc3=1 set3=1000 wait3 free3 "
              "r0=3 r0=0 w0=0 w1=20 w2=1 ");
    EXPECT_EQ(o.Get<int32_t>(ZPX_GetPodType), -2);
    // A program that never ends: register 0 stays 3 for 10 s of ticks, then 1.
    o.fake->tickStep = 1000;
    o.file->queued[0] = {3};
    EXPECT_EQ(ZPX_ResetSystem(o.handle), ZPX_STATUS_INVALID);
    o.fake->tickStep = 1;

    // Switching the board off clears bits 0 and 4-7 of register 2 and leaves the copy.
    o.file->regs[2] = 0xFF;
    o.fake->Take();
    ASSERT_EQ(ZPX_SwitchOffBoard(o.handle), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_SetTapEnable(o.handle, 0), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "r2=ff w2=e w2=1 ");
}

TEST(Pod, EnableAndDisableWorkFromTheRecord) {
    Opened o(kPci);
    ZPX_DeviceInfo info{};
    info.ControllerKind = 0;  // the 5120 family: nothing to do
    EXPECT_EQ(ZPX_EnablePod(o.handle, &info, 0), ZPX_STATUS_OK);
    info.ControllerKind = -1;
    EXPECT_EQ(ZPX_EnablePod(o.handle, &info, 0), ZPX_STATUS_FAILED);
    EXPECT_EQ(ZPX_EnablePod(o.handle, nullptr, 0), ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_DisablePod(o.handle, &info), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "");
    // Step 1, 300 ms at once, register 1 (with the pod bit for a recorded pod of kind 1 or 2),
    // step 3, the pod kind from register 3; no settle.
    info.ControllerKind = 2;
    o.file->selected[0] = {0x01};
    for (const auto& [kind, bit] : {std::pair<int32_t, const char*>{-1, "0"}, {2, "20"}}) {
        info.PodKind = kind;
        o.file->regs[0x0B] = 0;
        ASSERT_EQ(ZPX_EnablePod(o.handle, &info, 0), ZPX_STATUS_OK);
        EXPECT_EQ(o.fake->Take(),
                  "rb=0 wb=1 d300000 w1=" + std::string(bit) + " wb=3 w3=0 r3=1 w1=20 ");
        EXPECT_EQ(info.PodKind, 1);
    }
    EXPECT_EQ(o.Get<int32_t>(ZPX_GetPodType), -2);
    o.file->regs[0x0B] = 3;
    EXPECT_EQ(ZPX_EnablePod(o.handle, &info, 1), ZPX_STATUS_OK);  // powered already
    ASSERT_EQ(ZPX_DisablePod(o.handle, &info), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "rb=3 wb=0 ");
}

TEST(Pod, ExtenderExportsNeedAPodWithAnExtender) {
    Opened o(kPci);
    // Not yet identified, unrecognised, type 0, type 1: the mode they report, if any.
    const std::tuple<uint8_t, const char*, uint32_t, uint32_t> pods[] = {
        {9, "", ZPX_STATUS_NOT_AVAILABLE, 99},
        {3, "----", ZPX_STATUS_NOT_AVAILABLE, 99},
        {0, "", ZPX_STATUS_OK, 0},
        {2, "0000", ZPX_STATUS_OK, 1}};
    for (const auto& [kind, taps, status, reported] : pods) {
        if (kind != 9) IdentifyPod(o, kind, taps);
        EXPECT_EQ(ZPX_SetPodExtenderMode(o.handle, 0), ZPX_STATUS_NOT_AVAILABLE);
        uint32_t mode = 99;
        EXPECT_EQ(ZPX_GetPodExtenderMode(o.handle, &mode), status);
        EXPECT_EQ(mode, reported);
    }
    EXPECT_EQ(o.fake->Take(), "");
    IdentifyPod(o, 2, "1111");  // a pod of type 2, its extender left at 1
    EXPECT_EQ(ZPX_SetPodExtenderMode(o.handle, 1), ZPX_STATUS_OK);  // recorded: nothing sent
    EXPECT_EQ(o.fake->Take(), "");
    EXPECT_EQ(ZPX_SetPodExtenderMode(o.handle, 0), ZPX_STATUS_OK);
    EXPECT_EQ(o.Get(ZPX_GetPodExtenderMode), 0u);
    EXPECT_EQ(ZPX_GetPodExtenderMode(o.handle, nullptr), ZPX_STATUS_INVALID);
    o.file->failAfter = o.file->served;
    EXPECT_EQ(ZPX_SetPodExtenderMode(o.handle, 1), ZPX_STATUS_FAILED);
}

}  // namespace
}  // namespace zpx::testing
