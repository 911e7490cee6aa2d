#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <map>
#include <string>

#include "fake_memory_controller.h"
#include "session/session.h"

namespace zpx::testing {
namespace {

// A PCI controller of type 2 whose register 3 answers by select: each read takes the next byte
// queued for the current select, or the select's idle byte. The trace interleaves the register
// accesses with the sleeps taken between them ("w2=89 s2 ... w3=7 s100 r3=1 ...").
struct IdentityDevice {
    ScopedFakePlatform& fake;
    ZPX_Handle handle = nullptr;
    uint32_t select = 0;
    std::map<uint32_t, uint8_t> idle{{0, 0x38}};  // revision 3, model bits of type 2
    std::map<uint32_t, std::deque<uint8_t>> queued;
    std::string trace;
    size_t sleepsSeen = 0;
    int failAt = -1;  // refuse the register access with this index since the last Take
    int served = 0;

    explicit IdentityDevice(ScopedFakePlatform& f) : fake(f) {
        auto file = std::make_shared<RegisterFile>();
        DriverHandler registers = RegisterFileHandler(file);
        fake->AddDevice("\\\\.\\PCI51X4EX_0",
                        [this, registers](uint32_t code, const uint8_t* in, uint32_t n,
                                          uint8_t* out, uint32_t m) {
                            const bool write = code == 0x9C406408;
                            if (code != 0x9C406404 && !write) return registers(code, in, n, out, m);
                            const uint32_t reg = Le32(in), value = Le32(in + 4);
                            Flush();
                            if (served++ == failAt) {
                                trace += "fail ";
                                return false;
                            }
                            char text[16];
                            if (reg != 3 || write) {
                                if (write) std::snprintf(text, sizeof text, "w%u=%x ", reg, value);
                                trace += write ? text : "";
                                if (reg == 3) select = value;
                                return reg == 3 || registers(code, in, n, out, m);
                            }
                            uint8_t byte = idle[select];
                            if (!queued[select].empty()) {
                                byte = queued[select].front();
                                queued[select].pop_front();
                            }
                            PutU32(out + 4, byte);
                            std::snprintf(text, sizeof text, "r3=%x ", byte);
                            trace += text;
                            return true;
                        });
        uint32_t status = 0;
        handle = ZPX_OpenController("PCI", &status);
        Take();
    }
    ~IdentityDevice() { ZPX_CloseController(handle); }

    void Flush() {
        for (; sleepsSeen < fake->sleepsMs.size(); ++sleepsSeen)
            trace += "s" + std::to_string(fake->sleepsMs[sleepsSeen]) + " ";
    }
    std::string Take() {
        Flush();
        served = 0;
        return std::exchange(trace, {});
    }
};

std::string Repeat(const std::string& s, int n) {
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

TEST(Identity, SerialRomsFollowTheirSequencesWaitsAndCheck) {
    ScopedFakePlatform fake;
    IdentityDevice d(fake);
    ASSERT_NE(d.handle, nullptr);
    const std::deque<uint8_t> good = {1, 2, 3, 4, 5, 6, 7, 0x0F};
    const std::string goodBytes =
        "r3=1 s10 r3=2 s10 r3=3 s10 r3=4 s10 r3=5 s10 r3=6 s10 r3=7 s10 "
        "r3=f s10 ";
    uint32_t high = 9, low = 9;

    d.queued[6] = good;
    EXPECT_EQ(ZPX_GetControllerSerialNumber(d.handle, &high, &low), 0u);
    EXPECT_EQ(uint64_t{high} << 32 | low, 0x0F07060504030201u);
    EXPECT_EQ(d.Take(), "w3=6 s15 " + goodBytes + "w3=0 ");
    d.queued[6] = {1, 0, 0, 0, 0, 0, 0, 0};  // CRC 0x43, not 0: reads as serial 0, success
    EXPECT_EQ(ZPX_GetControllerSerialNumber(d.handle, &high, &low), 0u);
    EXPECT_EQ(high | low, 0u);

    d.Take();
    d.queued[7] = good;
    EXPECT_EQ(ZPX_GetTransceiverSerialNumber(d.handle, &high, &low), 0u);
    EXPECT_EQ(d.Take(),
              "w2=19 w2=39 w2=19 w2=39 w2=19 w2=39 w2=19 w2=1 s25 w3=7 s20 " + goodBytes + "w3=0 ");

    // Pod 2: the ROM answers on the second poll; the zero before its 1 leaves the check alone.
    d.queued[7] = {0, 1, 2, 3, 4, 5, 6, 7, 0x0F};
    EXPECT_EQ(ZPX_GetPodSerialNumber(d.handle, 2, &high, &low), 0u);
    EXPECT_EQ(uint64_t{high} << 32 | low, 0x0F07060504030201u);
    EXPECT_EQ(d.Take(),
              "s50 w2=89 s2 w2=a9 s2 w2=99 s2 w2=b9 s2 w2=99 s2 w2=b9 s2 w2=99 s2 w2=1 "
              "s25 w3=7 s100 r3=0 w3=7 s100 r3=1 s20 r3=2 s20 r3=3 s20 r3=4 s20 r3=5 "
              "s20 r3=6 s20 r3=7 s20 r3=f s20 w3=0 ");

    // A pod that never answers: 25 polls, then registers 3 and 2 back to idle.
    ControllerSession& s = SessionOf(d.handle);
    s.register2Copy = 0x55;
    EXPECT_EQ(ZPX_GetPodSerialNumber(d.handle, 0, &high, &low), 1u);
    EXPECT_EQ(d.Take(),
              "s50 w2=9 s2 w2=29 s2 w2=19 s2 w2=39 s2 w2=19 s2 w2=39 s2 w2=19 s2 w2=1 "
              "s25 " +
                  Repeat("w3=7 s100 r3=0 ", 25) + "w3=0 w2=1 ");
    EXPECT_EQ(s.register2Copy, 1u);

    // Cleanup differs by step: a refused register-2 write restores both registers, a refused
    // ROM byte only selects 0. A pod number above 3 or a missing output: 10, nothing sent.
    d.failAt = 2;
    EXPECT_EQ(ZPX_GetTransceiverSerialNumber(d.handle, &high, &low), 1u);
    EXPECT_EQ(d.Take(), "w2=19 w2=39 fail w3=0 w2=1 ");
    d.failAt = 3;
    d.queued[6] = good;
    EXPECT_EQ(ZPX_GetControllerSerialNumber(d.handle, &high, &low), 1u);
    EXPECT_EQ(d.Take(), "w3=6 s15 r3=1 s10 r3=2 s10 fail w3=0 ");
    EXPECT_EQ(ZPX_GetPodSerialNumber(d.handle, 4, &high, &low), 10u);
    EXPECT_EQ(ZPX_GetControllerSerialNumber(d.handle, nullptr, &low), 10u);
    EXPECT_EQ(ZPX_GetTransceiverSerialNumber(d.handle, &high, nullptr), 10u);
    EXPECT_EQ(d.Take(), "");
}

TEST(Identity, RevisionFlashCodeMemorySizesAndWaitTime) {
    ScopedFakePlatform fake;
    IdentityDevice d(fake);
    ControllerSession& s = SessionOf(d.handle);
    ASSERT_EQ(s.controllerType, 2);
    uint32_t v = 0;
    // The revision is kept once it is not 0; a 0 is read again next time.
    d.idle[0] = 0x08;
    EXPECT_EQ(ZPX_GetControllerEPLD(d.handle, &v), 0u);
    d.idle[0] = 0x38;
    EXPECT_EQ(ZPX_GetControllerEPLD(d.handle, &v), 0u);
    EXPECT_EQ(ZPX_GetControllerEPLD(d.handle, &v), 0u);
    EXPECT_EQ(v, 3u);
    EXPECT_EQ(d.Take(), "w3=0 r3=8 w3=0 w3=0 r3=38 w3=0 ");

    // The first size lookup reads the flash code; later ones and the flash export use it.
    d.idle[1] = 0xC5;
    const uint32_t sizes[] = {0x400000, 0x200000, 0x800000, 0x200000, 0x200000, 0x200000, 0, 0};
    const int32_t kinds[] = {0, 1, 2, 3, 4, 5, 6, -1};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ZPX_GetMemorySize(d.handle, kinds[i], &v), 0u);
        EXPECT_EQ(v, sizes[i]) << kinds[i];
    }
    EXPECT_EQ(ZPX_GetControllerFlash(d.handle, &v), 0u);
    EXPECT_EQ(v, 0xC5u);
    EXPECT_EQ(ZPX_GetCntrWaitTime(d.handle, &v), 0u);
    EXPECT_EQ(v, 1000u);
    EXPECT_EQ(d.Take(), "w3=1 r3=c5 w3=0 ");

    // The row follows the type and the flash code's high nibble; type 1 has no memory 2.
    // Type, flash code, sizes of memories 0, 1 and 2.
    const uint32_t rows[][5] = {
        {0, 0xF0, 0x40000, 0x80000, 0x400000},    {1, 0x10, 0x400000, 0x100000, 0},
        {3, 0xB0, 0x400000, 0x100000, 0x1000000}, {1, 0xC0, 0x400000, 0x200000, 0},
        {1, 0xD0, 0x800000, 0x200000, 0},         {3, 0xF0, 0x800000, 0x200000, 0x1000000},
        {2, 0xE1, 0x800000, 0x200000, 0x800000},  {7, 0x10, 0, 0, 0}};
    for (const auto& r : rows) {
        s.controllerType = static_cast<int32_t>(r[0]);
        s.flashCode = static_cast<uint8_t>(r[1]);
        for (int32_t kind = 0; kind < 3; ++kind) {
            EXPECT_EQ(ZPX_GetMemorySize(d.handle, kind, &v), 0u);
            EXPECT_EQ(v, r[2 + kind]) << r[0] << " " << r[1] << " " << kind;
        }
    }
    EXPECT_EQ(d.Take(), "");

    // Wait time: the flash code is read when unknown; a failed read stores nothing.
    s.controllerType = 0;
    s.flashCode = 0;
    d.failAt = 1;
    v = 77;
    EXPECT_EQ(ZPX_GetCntrWaitTime(d.handle, &v), 1u);
    EXPECT_EQ(v, 77u);
    d.failAt = -1;
    EXPECT_EQ(ZPX_GetCntrWaitTime(d.handle, &v), 0u);
    EXPECT_EQ(v, 640u);
    for (uint32_t rc :
         {ZPX_GetControllerFlash(d.handle, nullptr), ZPX_GetMemorySize(d.handle, 0, nullptr),
          ZPX_GetControllerEPLD(d.handle, nullptr), ZPX_GetCntrWaitTime(d.handle, nullptr)})
        EXPECT_EQ(rc, 10u);
}

TEST(Identity, BoardTestVerdictsFromTheClockRangeRegister) {
    // Range register before, byte written, upper nibble read back, verdict.
    const uint32_t cases[][4] = {{0x05, 0x35, 0x6, 0}, {0x05, 0x35, 0xC, 2}, {0x05, 0x35, 0x3, 1},
                                 {0x85, 0x85, 0x1, 0}, {0x85, 0x85, 0x7, 2}, {0x40, 0x70, 0xE, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0] * 100 + c[2]);
        ScopedFakePlatform fake;
        Opened o = OpenTarget(*fake, kIsa);
        o.regs->regs[31] = static_cast<uint8_t>(c[0]);
        auto inner = o.device->handler;
        o.device->handler = [&](uint32_t code, const uint8_t* in, uint32_t n, uint8_t* out,
                                uint32_t m) {
            const bool ok = inner(code, in, n, out, m);
            if (code == 0x9C406408 && Le32(in) == 31) {  // the board answers in the upper nibble
                EXPECT_EQ(Le32(in + 4), c[1]);
                o.regs->regs[31] = static_cast<uint8_t>(c[2] << 4 | (c[1] & 0xF));
            }
            return ok;
        };
        uint32_t verdict = 99;
        EXPECT_EQ(ZPX_BoardValid(o.handle, 0, &verdict), 0u);
        EXPECT_EQ(verdict, c[3]);
        EXPECT_TRUE(fake->alarmCalls.empty());  // no clock settle for a board test
        o.regs->failAfter = o.regs->served;
        EXPECT_EQ(ZPX_BoardValid(o.handle, 0, &verdict), 10u);
        EXPECT_EQ(ZPX_BoardValid(o.handle, 0, nullptr), 10u);
        o.device->handler = inner;
        ZPX_CloseController(o.handle);
    }
}

}  // namespace
}  // namespace zpx::testing
