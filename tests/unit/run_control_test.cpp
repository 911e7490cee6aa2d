// Run control and what it waits for: bit fields changed on the session copies and written whole,
// start and status with their settle slots, boot, the settle slots themselves and the waits at
// close, and where registers 1 and 2 are restored from at open and saved to at close.
#include <gtest/gtest.h>

#include <string>

#include "device/settle.h"
#include "driver_fixture.h"
#include "platform/profile_text.h"

namespace zpx::testing {
namespace {

TEST(RunControl, FieldSettersChangeOnlyTheirBitsAndWriteTheWholeCopy) {
    auto file = std::make_shared<RegisterFile>();
    // Restored at open: register1Copy 0x25 (bit 5 from 0x0B bit 7), register2Copy 0x09.
    file->regs = {{1, 0x05}, {2, 0x08}, {0x0B, 0xC0}};
    Opened o(kPci, file);
    const ZPX_Handle h = o.handle;
    // In order, each call in one write of the whole copy.
    const uint32_t set[] = {
        ZPX_SetRunMode(h, 0xFF),   ZPX_SetRepeaterMode(h, 0x10), ZPX_SetImmMode(h, 0x41),
        ZPX_BootController(h, 5),  ZPX_StopController(h),        ZPX_SetVPPMode(h, 0xFF),
        ZPX_ClearError(h, 0x84),   ZPX_ClearError(h, 0xFF),      ZPX_SetTapEnable(h, 0x1F),
        ZPX_SetLearnMode(h, 0xFF), ZPX_SetCntCounter(h),         ZPX_SetLearnMode(h, 0),
        ZPX_SetTapEnable(h, 0xA0)};
    EXPECT_EQ(std::vector<uint32_t>(set, set + 13), std::vector<uint32_t>(13, ZPX_STATUS_OK));
    // Boot writes the image select, then pulses register 0, leaving the copy alone.
    EXPECT_EQ(o.fake->Take(),
              "w0=c w0=1c w0=5c w3=28 w0=0 w0=2 w0=0 w0=5c w1=e5 w1=61 w1=0 w2=19 w2=1d w2=1f "
              "w2=1b w2=ab ");

    file->regs[1] = 0x9D;
    file->regs[2] = 0xF5;
    uint32_t got[4] = {};
    const uint32_t get[] = {ZPX_GetError(h, &got[0]), ZPX_GetTapEnable(h, &got[1]),
                            ZPX_GetLearnMode(h, &got[2]), ZPX_GetButton(h, &got[3])};
    EXPECT_EQ(std::vector<uint32_t>(get, get + 4), std::vector<uint32_t>(4, ZPX_STATUS_OK));
    EXPECT_EQ(std::vector<uint32_t>(got, got + 4), (std::vector<uint32_t>{0x9D, 0xF0, 0x04, 0x01}));
    EXPECT_EQ(o.fake->Take(), "r1=9d r2=f5 r2=f5 r2=f5 ");

    // A failed write leaves the change in the copy, which the next write of it carries.
    file->failAfter = file->served;
    EXPECT_EQ(ZPX_SetRunMode(h, 0x04), ZPX_STATUS_INVALID);
    file->failAfter = file->served + 1;
    EXPECT_EQ(ZPX_BootController(h, 1), ZPX_STATUS_INVALID);
    file->failAfter = -1;
    EXPECT_EQ(ZPX_SetImmMode(h, 0x40), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "fail w3=8 fail w0=54 ");
}

TEST(RunControl, StartWaitsItsSettlesThenWritesAndStatusFindsTheControllerStopped) {
    Opened o(kPci);
    ControllerSession& s = o.s();
    for (uint32_t code : {0u, 1u, 3u, 31u})  // alarms 1 to 4
        ArmSettle(s, 16, code);
    EXPECT_EQ(ZPX_SetRunMode(o.handle, 0x04), ZPX_STATUS_OK);
    o.fake->Take();
    // Waits 31, 1, 0, 3, then writes, then arms one 1 kHz period.
    EXPECT_EQ(ZPX_StartController(o.handle), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(),
              "wait4 free4 wait2 free2 wait1 free1 wait3 free3 w0=7 alloc5=1 set5=1000 ");
    o.file->queued[0] = {0, 2};  // read twice before the controller counts as stopped
    EXPECT_EQ(o.Get(ZPX_GetControllerStatus), 2u);
    // A stopped controller's run bits leave the copy (which the next field written carries).
    o.file->queued[0] = {0xF0};  // run bits clear, the others set
    EXPECT_EQ(o.Get(ZPX_GetControllerStatus), 0u);
    EXPECT_EQ(ZPX_SetRunMode(o.handle, 0x04), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "wait5 free5 r0=0 r0=2 r0=f0 r0=f0 alloc6=1 set6=6000 d2032 w0=4 ");
    // Without alarms the start period, at 3 kHz, is waited at once.
    o.fake->alarmsAvailable = 0;
    ASSERT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, 3), ZPX_STATUS_OK);
    o.fake->Take();
    EXPECT_EQ(ZPX_StartController(o.handle), ZPX_STATUS_OK);
    EXPECT_EQ(ZPX_StopController(o.handle), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "w0=7 d334 w0=4 ");
}

TEST(StatusRegisters, RestoredFromTheControllerOrTheDriverAndKeptThere) {
    // Target; registers 1, 2 and 0x0B, which are also the driver's status words (refused when
    // negative); the copies restored. The 51x4 family mirrors bits of register 0x0B.
    const std::tuple<Target, int32_t, uint8_t, uint8_t, uint32_t, uint32_t> cases[] = {
        {kPci, 0x00, 0x00, 0x80, 0x20, 0x00},
        {kPci, 0xFF, 0xFF, 0x00, 0xDF, 0xFE},
        {kPci5120, 0x37, 0x1C, 0xC0, 0x37, 0x1C},
        {kPci5120, -1, 0x1C, 0xC0, 0, 0}};
    for (const auto& [target, r1, r2, r0b, copy1, copy2] : cases) {
        SCOPED_TRACE(r1);
        auto file = std::make_shared<RegisterFile>();
        file->regs = {{1, static_cast<uint8_t>(r1)}, {2, r2}, {0x0B, r0b}};
        file->statusQueryAnswers = r1 >= 0;
        file->statusWords[0] = static_cast<uint32_t>(r1);
        file->statusWords[1] = r2;
        Opened o(target, file);
        const bool family5120 = target.driverId == kPci5120.driverId;
        // The 5120 family asks the driver; the 51x4 family reads registers 1, 2 and 0x0B.
        EXPECT_EQ(o.openCalls.back() == DriverCall({0x9C40643C, std::vector<uint8_t>(8, 0), 8}),
                  family5120);
        EXPECT_EQ(o.s().register1Copy * 256 + o.s().register2Copy, copy1 * 256 + copy2);
        EXPECT_EQ(o.s().extStatus, family5120 ? 0u : r0b);
        EXPECT_EQ(o.Close(), ZPX_STATUS_OK);
        EXPECT_TRUE(o.fake->files.empty());
    }
}

TEST(StatusRegisters, AnOlderDriverKeepsThemInTheStatusFileBesideTheLibrary) {
    // Target, library path, status file ("" when there is none), what it holds, register 1 as
    // restored from it and as saved back. Letter case of sections and keys does not matter,
    // numbers end at a non-digit, and every other line stays.
    const std::string other = "; by hand\r\n[Other]\r\nRegister1=99\r\n\r\n";
    const Target isa{"ISA", "ISA,5120", kIsa.path, 0, 0};
    const std::tuple<Target, const char*, const char*, std::string, uint32_t, const char*> cases[] =
        {{isa, "/opt/ZPX/lib/ZPX.so", "/opt/ZPX/lib/KVCtrl.dat",
          other + "[isa0,5120]\r\nregister1=37x3\r\n", 37, "36"},
         {kPciLegacy, "/opt/ZPX/lib/zpx.so", "/opt/KVCtrl.dat", other, 0, "0"},
         {kIsa, "/opt/zpx/lib/libzpx.so", "", "", 0, ""}};
    for (const auto& [target, library, statusFile, text, restored, saved] : cases) {
        SCOPED_TRACE(library);
        Opened o(target, std::make_shared<RegisterFile>(), [&](FakePlatform& fake) {
            fake.libraryPath = library;
            if (statusFile[0] != '\0') fake.files[statusFile] = text;
        });
        EXPECT_EQ(ZPX_ClearError(o.handle, 0x01), ZPX_STATUS_OK);
        EXPECT_EQ(ZPX_SetTapEnable(o.handle, 0xF0), ZPX_STATUS_OK);
        EXPECT_EQ(o.Close(), ZPX_STATUS_OK);
        std::map<std::string, std::string>& files = o.fake->files;
        ASSERT_EQ(files.size(), statusFile[0] ? 1u : 0u);
        if (statusFile[0] == '\0') continue;
        const std::string& kept = files[statusFile];
        const std::string section = restored != 0 ? "ISA0,5120" : "PCI0,5120";
        EXPECT_EQ(platform::ProfileLookup(kept, section, "Register1"), saved);
        EXPECT_EQ(platform::ProfileLookup(kept, section, "Register2"), "240");
        EXPECT_EQ(kept.find(other), 0u);
    }
}

TEST(Settle, SlotsArmTheirKindAndDelayOrWaitAtOnceAndRearmingRestartsTheAlarm) {
    // Code, kind, delay, direct delay in µs; at 3 kHz one test-clock period rounds up to 334 µs.
    const uint32_t slots[][4] = {{0, 2, 300, 300000}, {1, 2, 150, 150000}, {3, 2, 250, 250000},
                                 {7, 1, 334, 334},    {15, 1, 2004, 2004}, {31, 2, 500, 500000}};
    for (int16_t available : {int16_t{16}, int16_t{0}, int16_t{-1}}) {
        for (const auto& slot : slots) {
            SCOPED_TRACE(std::to_string(slot[0]) + " with " + std::to_string(available));
            ScopedFakePlatform fake;
            ControllerSession s;
            s.tckKhz = 3;
            ArmSettle(s, available, slot[0]);
            EXPECT_EQ(fake->Take(), available > 0 ? "alloc1=" + std::to_string(slot[1]) +
                                                        " set1=" + std::to_string(slot[2]) + " "
                                                  : "d" + std::to_string(slot[3]) + " ");
        }
    }
    // A clock period rounds up; a session without a clock counts as running at 1 kHz.
    const std::pair<int32_t, uint32_t> periods[] = {{1, 1000},  {7, 143},  {999, 2},  {1000, 1},
                                                    {40000, 1}, {0, 1000}, {-4, 1000}};
    for (const auto& [khz, micros] : periods)
        EXPECT_EQ(ClockPeriodMicros(khz), micros) << khz;

    // Arming again restarts the alarm; awaiting frees it once.
    ScopedFakePlatform fake;
    ControllerSession s;
    ArmSettle(s, 16, kSettlePodPower);
    ArmSettle(s, 16, kSettlePodPower);
    AwaitSettle(s, kSettlePodPower);
    EXPECT_EQ(fake->Take(), "alloc1=2 set1=300 reset1 wait1 free1 ");
    // Nothing armed, and codes that name no slot: nothing happens.
    AwaitSettle(s, kSettlePodPower);
    AwaitSettle(s, 2);
    ArmSettle(s, 16, 2);
    ArmSettle(s, 16, kSettlePodPower);
    EXPECT_EQ(fake->Take(), "alloc2=2 set2=300 ");
}

// On every back-end a close reads register 0x0B once (ISA answers that read itself, without
// touching the device), then waits for every armed slot, newest code first, then lets go of the
// device or connection.
TEST(Settle, CloseReadsRegister0BThenAwaitsEveryArmedSlotInItsOrder) {
    const std::string waits =  // codes 7, 0, 3, 1, 15, 31
        "wait6 free6 wait5 free5 wait4 free4 wait3 free3 wait2 free2 wait1 free1 ";
    // The read as each driver sees it: ISA none, FireWire under its own register number.
    const std::pair<Target, const char*> targets[] = {
        {kIsa, ""},      {kPciLegacy, "rb=0 "}, {kPci, "rb=0 "}, {kUsb5120, "rb=0 "},
        {kUsb, "rb=0 "}, {kFireWire, "r8=0 "},  {kEthernet, ""}};
    for (const auto& [t, read] : targets) {
        SCOPED_TRACE(t.label);
        Opened o(t);
        if (o.tcp != nullptr) o.tcp->script = {{TcpEvent::kData, std::vector<uint8_t>(12, 0)}};
        for (uint32_t code : {31u, 15u, 1u, 3u, 0u, 7u})  // alarms 1 to 6
            ArmSettle(o.s(), 16, code);
        o.fake->Take();
        const size_t callsBefore = o.device ? o.device->calls.size() : 0;
        EXPECT_EQ(o.Close(), ZPX_STATUS_OK);
        if (o.tcp != nullptr) {
            EXPECT_EQ(Packets(*o.tcp), (std::vector<Request>{{0x010B0001, 0, 0}}));
            EXPECT_EQ(o.fake->Take(), waits);
            EXPECT_TRUE(o.tcp->closed);
            continue;
        }
        EXPECT_EQ(o.fake->Take(), read + waits);
        EXPECT_EQ(o.device->calls.size() - callsBefore, *read == '\0' ? 0u : 1u);
        EXPECT_TRUE(o.device->closed);
    }
}

}  // namespace
}  // namespace zpx::testing
