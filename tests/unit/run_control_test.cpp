// Run control and the status registers: bit fields changed on the session copies and written
// whole, start and status with their settle slots, boot, and where registers 1 and 2 are restored
// from at open and saved to at close.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/profile_text.h"
#include "session/call_frame.h"
#include "session/settle.h"
#include "session_helpers.h"
#include "zpx/zpx.h"

namespace zpx::testing {
namespace {

constexpr const char* kPciPath = "\\\\.\\PCI51X4EX_0";

TEST(RunControl, FieldSettersChangeOnlyTheirBitsAndWriteTheWholeCopy) {
    ScopedFakePlatform fake;
    auto file = std::make_shared<RegisterFile>();
    // Restored at open: register1Copy 0x25 (bit 5 from 0x0B bit 7), register2Copy 0x09.
    file->regs = {{1, 0x05}, {2, 0x08}, {0x0B, 0xC0}};
    std::shared_ptr<FakeDriverState> device;
    ZPX_Handle h = OpenOnDevice(*fake, "PCI", kPciPath, file, &device);
    ASSERT_NE(h, nullptr);
    struct Step {
        const char* what;
        std::function<uint32_t()> call;
        Request write;
    };
    const Step steps[] = {
        {"run mode", [&] { return ZPX_SetRunMode(h, 0xFF); }, WriteOf(0, 0x0C)},
        {"repeater", [&] { return ZPX_SetRepeaterMode(h, 0x10); }, WriteOf(0, 0x1C)},
        {"immediate", [&] { return ZPX_SetImmMode(h, 0x41); }, WriteOf(0, 0x5C)},
        {"stop", [&] { return ZPX_StopController(h); }, WriteOf(0, 0x5C)},
        {"vpp all", [&] { return ZPX_SetVPPMode(h, 0xFF); }, WriteOf(1, 0xE5)},
        {"clear some", [&] { return ZPX_ClearError(h, 0x84); }, WriteOf(1, 0x61)},
        {"clear all", [&] { return ZPX_ClearError(h, 0xFF); }, WriteOf(1, 0x00)},
        {"tap 0x1F", [&] { return ZPX_SetTapEnable(h, 0x1F); }, WriteOf(2, 0x19)},
        {"learn on", [&] { return ZPX_SetLearnMode(h, 0xFF); }, WriteOf(2, 0x1D)},
        {"counter", [&] { return ZPX_SetCntCounter(h); }, WriteOf(2, 0x1F)},
        {"learn off", [&] { return ZPX_SetLearnMode(h, 0); }, WriteOf(2, 0x1B)},
        {"tap 0xA0", [&] { return ZPX_SetTapEnable(h, 0xA0); }, WriteOf(2, 0xAB)},
    };
    for (const Step& step : steps) {
        device->calls.clear();
        EXPECT_EQ(step.call(), 0u) << step.what;
        EXPECT_EQ(Requests(*device), std::vector<Request>{step.write}) << step.what;
    }

    file->regs[1] = 0x9D;
    file->regs[2] = 0xF5;
    uint32_t got[4] = {};
    device->calls.clear();
    EXPECT_EQ(ZPX_GetError(h, &got[0]), 0u);
    EXPECT_EQ(ZPX_GetTapEnable(h, &got[1]), 0u);
    EXPECT_EQ(ZPX_GetLearnMode(h, &got[2]), 0u);
    EXPECT_EQ(ZPX_GetButton(h, &got[3]), 0u);
    EXPECT_EQ(std::vector<uint32_t>(got, got + 4), (std::vector<uint32_t>{0x9D, 0xF0, 0x04, 0x01}));
    EXPECT_EQ(Requests(*device),
              (std::vector<Request>{ReadOf(1), ReadOf(2), ReadOf(2), ReadOf(2)}));
    EXPECT_EQ(SessionOf(h).lastError, 0x9Du);
    EXPECT_EQ(SessionOf(h).lastRegister2, 0xF5u);

    // A write that fails still leaves the new value in the copy.
    file->failAfter = file->served;
    EXPECT_EQ(ZPX_SetRunMode(h, 0x04), 10u);
    EXPECT_EQ(SessionOf(h).controlCopy, 0x54u);
    EXPECT_EQ(ZPX_CloseController(h), 0u);
}

TEST(RunControl, StartWaitsItsSettlesThenWritesAndStatusFindsTheControllerStopped) {
    ScopedFakePlatform fake;
    auto file = std::make_shared<RegisterFile>();
    std::shared_ptr<FakeDriverState> device;
    ZPX_Handle h = OpenOnDevice(*fake, "PCI", kPciPath, file, &device);
    ASSERT_NE(h, nullptr);
    ControllerSession& s = SessionOf(h);
    for (uint32_t code : {0u, 1u, 3u, 31u})  // ids 1 to 4
        EXPECT_TRUE(ArmSettle(s, 16, code).ok());
    const size_t armed = fake->alarmCalls.size();
    // Register 0 reads as 0 once and then as `later`; the alarm calls made by the time the
    // register 0 write arrives are noted.
    size_t callsAtWrite = 0;
    int reads = 0;
    uint8_t later = 0;
    auto inner = device->handler;
    device->handler = [&](uint32_t code, const uint8_t* in, uint32_t n, uint8_t* out, uint32_t m) {
        const bool control = GetU32(in) == 0;
        if (control && code == transport::kRequestRegisterWrite)
            callsAtWrite = fake->alarmCalls.size();
        const bool ok = inner(code, in, n, out, m);
        if (control && code == transport::kRequestRegisterRead && ++reads == 1)
            file->regs[0] = later;
        return ok;
    };
    EXPECT_EQ(ZPX_SetRunMode(h, 0x04), 0u);
    EXPECT_EQ(ZPX_StartController(h), 0u);
    // Waits 31, 1, 0, 3, then writes, then arms one 1 kHz period.
    EXPECT_EQ(AlarmTrace(*fake, armed),
              "wait 4,free 4,wait 2,free 2,wait 1,free 1,wait 3,free 3,alloc 5 1,set 5 1000");
    EXPECT_EQ(callsAtWrite, armed + 8);
    EXPECT_EQ(s.controlCopy, 0x07u);

    // Read as 0 and then 2: still running.
    file->regs[0] = 0;
    later = 0x02;
    device->calls.clear();
    uint32_t running = 99;
    EXPECT_EQ(ZPX_GetControllerStatus(h, &running), 0u);
    EXPECT_EQ(running, 2u);
    EXPECT_EQ(Requests(*device), (std::vector<Request>{ReadOf(0), ReadOf(0)}));
    EXPECT_EQ(AlarmTrace(*fake, armed + 10), "wait 5,free 5");
    EXPECT_EQ(s.controlCopy, 0x07u);

    // Read as 0 twice: stopped.
    reads = 0;
    later = 0;
    file->regs[0] = 0xF0;  // run bits clear, other bits set
    EXPECT_EQ(ZPX_GetControllerStatus(h, &running), 0u);
    EXPECT_EQ(running, 0u);
    EXPECT_EQ(s.lastStatus, 0u);
    EXPECT_EQ(AlarmTrace(*fake, armed + 12), "alloc 6 1,set 6 6000");
    EXPECT_EQ(fake->directDelays, std::vector<uint32_t>{2032});
    EXPECT_EQ(s.controlCopy, 0x04u);

    // Without alarms the start period is waited at once.
    fake->alarmsAvailable = 0;
    s.tckKhz = 3;
    EXPECT_EQ(ZPX_StartController(h), 0u);
    EXPECT_EQ(fake->directDelays, (std::vector<uint32_t>{2032, 334}));
    EXPECT_EQ(ZPX_CloseController(h), 0u);
}

TEST(RunControl, BootWritesTheImageThenPulsesRegister0AndKeepsTheControlCopy) {
    ScopedFakePlatform fake;
    auto file = std::make_shared<RegisterFile>();
    std::shared_ptr<FakeDriverState> device;
    ZPX_Handle h = OpenOnDevice(*fake, "PCI", kPciPath, file, &device);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ZPX_SetRunMode(h, 0x0C), 0u);
    device->calls.clear();
    EXPECT_EQ(ZPX_BootController(h, 5), 0u);
    EXPECT_EQ(Requests(*device),
              (std::vector<Request>{WriteOf(3, 40), WriteOf(0, 0), WriteOf(0, 2), WriteOf(0, 0)}));
    EXPECT_EQ(SessionOf(h).controlCopy, 0x0Cu);
    device->calls.clear();
    file->failAfter = file->served + 1;
    EXPECT_EQ(ZPX_BootController(h, 1), 10u);
    EXPECT_EQ(device->calls.size(), 2u);  // stops at the first failure
    EXPECT_EQ(ZPX_CloseController(h), 0u);
}

TEST(StatusRegisters, The51x4FamilyRestoresFromTheControllerAndMirrorsRegister0B) {
    struct Case {
        uint8_t r1, r2, r0b;
        uint32_t copy1, copy2;
    };
    for (const Case& c : {Case{0x00, 0x00, 0xC0, 0x20, 0x01}, Case{0xFF, 0xFF, 0x00, 0xDF, 0xFE},
                          Case{0x5A, 0x5A, 0x80, 0x7A, 0x5A}}) {
        ScopedFakePlatform fake;
        auto file = std::make_shared<RegisterFile>();
        file->regs = {{1, c.r1}, {2, c.r2}, {0x0B, c.r0b}};
        auto device = fake->AddDevice(kPciPath, SelectRegisterHandler(file));
        uint32_t status = 99;
        ZPX_Handle h = ZPX_OpenController("PCI", &status);
        ASSERT_NE(h, nullptr);
        const std::vector<Request> seen = Requests(*device);
        ASSERT_EQ(seen.size(), 6u);
        EXPECT_EQ(std::vector<Request>(seen.begin() + 3, seen.end()),
                  (std::vector<Request>{ReadOf(1), ReadOf(2), ReadOf(0x0B)}));
        EXPECT_EQ(SessionOf(h).register1Copy, c.copy1);
        EXPECT_EQ(SessionOf(h).register2Copy, c.copy2);
        EXPECT_EQ(SessionOf(h).extStatus, c.r0b);
        EXPECT_EQ(ZPX_CloseController(h), 0u);
        EXPECT_TRUE(fake->files.empty());  // the controller keeps them
    }
}

TEST(StatusRegisters, The5120FamilyRestoresFromTheDriverOrTheStatusFile) {
    for (bool answers : {true, false}) {  // current driver: the status query, zeros if refused
        ScopedFakePlatform fake;
        auto file = std::make_shared<RegisterFile>();
        file->driverId = 0x90500000;
        file->statusQueryAnswers = answers;
        file->statusWords[0] = 0x37;
        file->statusWords[1] = 0x1C;
        auto device = fake->AddDevice("\\\\.\\PCI5120_0", SelectRegisterHandler(file));
        uint32_t status = 99;
        ZPX_Handle h = ZPX_OpenController("PCI,5120", &status);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(device->calls.size(), 2u);
        EXPECT_EQ(device->calls[1].code, 0x9C40643Cu);
        EXPECT_EQ(device->calls[1].in, std::vector<uint8_t>(8, 0));
        EXPECT_EQ(device->calls[1].outLength, 8u);
        EXPECT_EQ(SessionOf(h).register1Copy, answers ? 0x37u : 0u);
        EXPECT_EQ(SessionOf(h).register2Copy, answers ? 0x1Cu : 0u);
        EXPECT_EQ(ZPX_CloseController(h), 0u);
        EXPECT_TRUE(fake->files.empty());
    }
    struct FileCase {
        const char* name;
        const char* path;
        bool driverRefusesId;
        const char* library;
        const char* statusFile;  // "" when there is none
        const char* section;
    };
    const FileCase cases[] = {
        {"ISA,5120", "\\\\.\\isa5120", false, "/opt/zpx/lib/ZPX.so", "/opt/zpx/lib/KVCtrl.dat",
         "ISA0,5120"},
        {"PCI,5120", "\\\\.\\PCI5120_0", true, "/opt/ZPX/lib/zpx.so", "/opt/KVCtrl.dat",
         "PCI0,5120"},
        {"ISA,5120", "\\\\.\\isa5120", false, "/opt/zpx/lib/libzpx.so", "", ""},
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.library);
        ScopedFakePlatform fake;
        fake->libraryPath = c.library;
        const std::string other = "[Other]\r\nRegister1=99\r\n";
        if (c.statusFile[0] != '\0') {
            // Letter case of sections and keys does not matter; numbers end at a non-digit.
            fake->files[c.statusFile] =
                "[" + std::string(c.section) + "]\r\nregister1=37\r\nREGISTER2=12abc\r\n" + other;
        }
        auto file = std::make_shared<RegisterFile>();
        if (c.driverRefusesId) file->driverId = -1;
        ZPX_Handle h = OpenOnDevice(*fake, c.name, c.path, file);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(SessionOf(h).legacyDriver, 1u);
        EXPECT_EQ(SessionOf(h).register1Copy, c.statusFile[0] ? 37u : 0u);
        EXPECT_EQ(SessionOf(h).register2Copy, c.statusFile[0] ? 12u : 0u);
        EXPECT_EQ(ZPX_ClearError(h, 0x01), 0u);
        EXPECT_EQ(ZPX_SetTapEnable(h, 0xF0), 0u);
        EXPECT_EQ(ZPX_CloseController(h), 0u);
        if (c.statusFile[0] == '\0') {
            EXPECT_TRUE(fake->files.empty());
            continue;
        }
        ASSERT_EQ(fake->files.size(), 1u);
        const std::string& text = fake->files[c.statusFile];
        EXPECT_EQ(platform::ProfileLookup(text, c.section, "Register1"), "36");
        EXPECT_EQ(platform::ProfileLookup(text, c.section, "Register2"), "252");
        EXPECT_NE(text.find(other), std::string::npos);
    }
}

}  // namespace
}  // namespace zpx::testing
